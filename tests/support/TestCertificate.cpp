#include "TestCertificate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

TestCertificate::TestCertificate(const QString &altNames) {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: %1").arg(m_dir.errorString());
        return;
    }
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                   QStringLiteral("rsa:2048"), QStringLiteral("-nodes"), QStringLiteral("-subj"),
                   QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
                   QStringLiteral("subjectAltName=") + altNames, QStringLiteral("-days"),
                   QStringLiteral("2"), QStringLiteral("-keyout"), keyPath(),
                   QStringLiteral("-out"), certificatePath()});
    if (!openssl.waitForStarted(30000)) {
        m_error = QStringLiteral("openssl did not start: %1").arg(openssl.errorString());
        return;
    }
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
        m_error = QStringLiteral("openssl failed: %1")
                      .arg(QString::fromLocal8Bit(openssl.readAll()).trimmed());
        return;
    }
    if (QFileInfo(certificatePath()).size() == 0 || QFileInfo(keyPath()).size() == 0)
        m_error = QStringLiteral("openssl wrote no certificate");
}

QString TestCertificate::certificatePath() const {
    return m_dir.filePath(QStringLiteral("cert.pem"));
}

QString TestCertificate::keyPath() const { return m_dir.filePath(QStringLiteral("key.pem")); }

QString TestCertificate::authorityFolder() const {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {QStringLiteral("x509"), QStringLiteral("-hash"), QStringLiteral("-noout"),
                   QStringLiteral("-in"), certificatePath()});
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0)
        return QString();
    const QString hash = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed();
    const QString folder = m_dir.filePath(QStringLiteral("authorities"));
    const QString target = folder + QLatin1Char('/') + hash + QStringLiteral(".0");
    if (hash.isEmpty() || !QDir().mkpath(folder) ||
        (!QFile::exists(target) && !QFile::copy(certificatePath(), target)))
        return QString();
    return folder;
}

// ---- TestAuthority ----

#ifdef Q_OS_WIN

// The Windows build has no OpenSSL to make certificates with; its TLS sites are the Linux
// suite's.
struct TestAuthority::Keys {};

TestAuthority::TestAuthority()
    : m_error(QStringLiteral("no certificates are made on Windows")),
      m_keys(std::make_unique<Keys>()) {}

TestAuthority::~TestAuthority() = default;

QString TestAuthority::certificatePath() const { return QString(); }

TestAuthority::Files TestAuthority::issue(const QString &, const Request &) { return Files(); }

#else

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
struct KeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

KeyPtr NewKey() { return KeyPtr(EVP_EC_gen("P-256")); }

void AddExtension(X509 *certificate, X509 *issuer, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
    if (X509_EXTENSION *extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value)) {
        X509_add_ext(certificate, extension, -1);
        X509_EXTENSION_free(extension);
    }
}

// The names as general names: byte for byte, so a NUL stays in a DNS name.
bool AddAltNames(X509 *certificate, const QStringList &dns, const QStringList &ips) {
    GENERAL_NAMES *names = sk_GENERAL_NAME_new_null();
    for (const QString &name : dns) {
        const QByteArray bytes = name.toUtf8();
        ASN1_IA5STRING *text = ASN1_IA5STRING_new();
        ASN1_STRING_set(text, bytes.constData(), int(bytes.size()));
        GENERAL_NAME *entry = GENERAL_NAME_new();
        GENERAL_NAME_set0_value(entry, GEN_DNS, text);
        sk_GENERAL_NAME_push(names, entry);
    }
    for (const QString &ip : ips) {
        ASN1_OCTET_STRING *address = a2i_IPADDRESS(ip.toLatin1().constData());
        if (!address) {
            GENERAL_NAMES_free(names);
            return false;
        }
        GENERAL_NAME *entry = GENERAL_NAME_new();
        GENERAL_NAME_set0_value(entry, GEN_IPADD, address);
        sk_GENERAL_NAME_push(names, entry);
    }
    const bool ok = sk_GENERAL_NAME_num(names) == 0 ||
                    X509_add1_ext_i2d(certificate, NID_subject_alt_name, names, 0, 0) == 1;
    GENERAL_NAMES_free(names);
    return ok;
}

X509Ptr NewCertificate(const char *commonName, EVP_PKEY *key, qint64 from, qint64 to, long serial) {
    X509Ptr certificate(X509_new());
    X509_set_version(certificate.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(certificate.get()), long(from));
    X509_gmtime_adj(X509_getm_notAfter(certificate.get()), long(to));
    X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate.get()), "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char *>(commonName), -1, -1, 0);
    X509_set_pubkey(certificate.get(), key);
    return certificate;
}

QByteArray Pem(X509 *certificate) {
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, certificate);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QByteArray pem(data, int(size));
    BIO_free(bio);
    return pem;
}

QByteArray Pem(EVP_PKEY *key) {
    BIO *bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    QByteArray pem(data, int(size));
    BIO_free(bio);
    return pem;
}

bool WriteFile(const QString &path, const QByteArray &bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

} // namespace

struct TestAuthority::Keys {
    KeyPtr key;
    X509Ptr certificate;
    QByteArray pem;
    long serial = 1;
};

TestAuthority::TestAuthority() : m_keys(std::make_unique<Keys>()) {
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder: %1").arg(m_dir.errorString());
        return;
    }
    m_keys->key = NewKey();
    if (!m_keys->key) {
        m_error = QStringLiteral("no key could be made");
        return;
    }
    m_keys->certificate = NewCertificate("Vennatro Test Authority", m_keys->key.get(), -86400,
                                         3650L * 86400, m_keys->serial++);
    X509 *ca = m_keys->certificate.get();
    X509_set_issuer_name(ca, X509_get_subject_name(ca));
    AddExtension(ca, ca, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(ca, ca, NID_key_usage, "critical,keyCertSign,cRLSign");
    AddExtension(ca, ca, NID_subject_key_identifier, "hash");
    if (X509_sign(ca, m_keys->key.get(), EVP_sha256()) <= 0) {
        m_error = QStringLiteral("the authority could not sign itself");
        return;
    }
    m_keys->pem = Pem(ca);
    if (!WriteFile(certificatePath(), m_keys->pem))
        m_error = QStringLiteral("cannot write %1").arg(certificatePath());
}

TestAuthority::~TestAuthority() = default;

QString TestAuthority::certificatePath() const {
    return m_dir.filePath(QStringLiteral("authority.pem"));
}

TestAuthority::Files TestAuthority::issue(const QString &name, const Request &request) {
    if (!isValid())
        return Files();
    KeyPtr key = NewKey();
    const QByteArray commonName = name.toUtf8();
    X509Ptr certificate =
        NewCertificate(commonName.constData(), key.get(), request.validFromSeconds,
                       request.validToSeconds, m_keys->serial++);
    X509 *issuer = request.selfSigned ? certificate.get() : m_keys->certificate.get();
    X509_set_issuer_name(certificate.get(), X509_get_subject_name(issuer));
    AddExtension(certificate.get(), issuer, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(certificate.get(), issuer, NID_ext_key_usage, "serverAuth");
    if (!request.selfSigned)
        AddExtension(certificate.get(), issuer, NID_authority_key_identifier, "keyid");
    if (!AddAltNames(certificate.get(), request.dnsNames, request.ipAddresses) ||
        X509_sign(certificate.get(), request.selfSigned ? key.get() : m_keys->key.get(),
                  EVP_sha256()) <= 0) {
        m_error = QStringLiteral("the certificate of %1 could not be made").arg(name);
        return Files();
    }
    QByteArray chain = Pem(certificate.get());
    const qsizetype leafSize = chain.size();
    while (chain.size() - leafSize < request.chainPadding)
        chain += m_keys->pem;
    Files files{m_dir.filePath(name + QStringLiteral(".pem")),
                m_dir.filePath(name + QStringLiteral(".key"))};
    if (!WriteFile(files.certificate, chain) || !WriteFile(files.key, Pem(key.get()))) {
        m_error = QStringLiteral("cannot write the files of %1").arg(name);
        return Files();
    }
    return files;
}

#endif

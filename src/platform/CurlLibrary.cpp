#include "platform/CurlLibrary.h"

#include <QLibrary>

#include <atomic>
#include <mutex>

namespace {

std::atomic<bool> loaded{false};

struct Loader {
    CurlLibrary api;
    bool ok = false;
    QString why;

    Loader() {
        // Never unloaded: libcurl's global state lives until the process ends.
        auto *library = new QLibrary;
#ifdef Q_OS_WIN
        library->setFileName(QStringLiteral("libcurl")); // libcurl.dll beside the program
#else
        library->setFileNameAndVersion(QStringLiteral("curl"), 4);
#endif
        if (!library->load()) {
            why = library->errorString();
            delete library;
            return;
        }
        loaded = true;
        const auto resolve = [this, library](auto &slot, const char *name) {
            slot =
                reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library->resolve(name));
            if (!slot && why.isEmpty())
                why = QStringLiteral("%1 is missing").arg(QLatin1String(name));
        };
        resolve(api.global_init, "curl_global_init");
        resolve(api.easy_init, "curl_easy_init");
        resolve(api.easy_cleanup, "curl_easy_cleanup");
        resolve(api.easy_setopt, "curl_easy_setopt");
        resolve(api.easy_strerror, "curl_easy_strerror");
        resolve(api.multi_init, "curl_multi_init");
        resolve(api.multi_cleanup, "curl_multi_cleanup");
        resolve(api.multi_add_handle, "curl_multi_add_handle");
        resolve(api.multi_remove_handle, "curl_multi_remove_handle");
        resolve(api.multi_perform, "curl_multi_perform");
        resolve(api.multi_poll, "curl_multi_poll");
        resolve(api.multi_info_read, "curl_multi_info_read");
        resolve(api.multi_strerror, "curl_multi_strerror");
        resolve(api.slist_append, "curl_slist_append");
        resolve(api.slist_free_all, "curl_slist_free_all");
        if (!why.isEmpty())
            return;
        if (api.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            why = QStringLiteral("it could not be initialised");
            return;
        }
        ok = true;
    }
};

} // namespace

const CurlLibrary *CurlLibrary::Get(QString *why) {
    static const Loader loader; // thread-safe, once
    if (!loader.ok && why)
        *why = loader.why;
    return loader.ok ? &loader.api : nullptr;
}

bool CurlLibrary::Loaded() { return loaded; }

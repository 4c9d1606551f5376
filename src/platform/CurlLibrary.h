#pragma once

// Calls go through the pointers below only: no call may name a libcurl function directly.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>

#include <QString>

// libcurl, loaded the first time an e-mail is sent rather than with the program: it and the
// TLS, LDAP, SSH and Kerberos libraries it brings cost a start of the command line more than
// its ping, and most runs never send mail.
struct CurlLibrary {
    decltype(&curl_global_init) global_init = nullptr;
    decltype(&curl_easy_init) easy_init = nullptr;
    decltype(&curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&curl_easy_setopt) easy_setopt = nullptr;
    decltype(&curl_easy_strerror) easy_strerror = nullptr;
    decltype(&curl_multi_init) multi_init = nullptr;
    decltype(&curl_multi_cleanup) multi_cleanup = nullptr;
    decltype(&curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&curl_multi_perform) multi_perform = nullptr;
    decltype(&curl_multi_poll) multi_poll = nullptr;
    decltype(&curl_multi_info_read) multi_info_read = nullptr;
    decltype(&curl_multi_strerror) multi_strerror = nullptr;
    decltype(&curl_slist_append) slist_append = nullptr;
    decltype(&curl_slist_free_all) slist_free_all = nullptr;

    // Loaded and initialised on the first call (from any thread), kept for the process's life.
    // Null when it cannot be; why then says what failed.
    static const CurlLibrary *Get(QString *why = nullptr);
    // Whether this process has loaded it yet.
    static bool Loaded();
};

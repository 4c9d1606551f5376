#pragma once

#include <QString>
#include <exception>
#include <functional>

// The application-wide handler for exceptions that would otherwise reach the event loop.
// The main window installs its error display here; until then errors go to the debug log.
using ApplicationErrorHandler = std::function<void(const QString &message)>;

void SetApplicationErrorHandler(ApplicationErrorHandler handler);

// Hands the exception to the handler. Never throws.
void HandleApplicationException(std::exception_ptr error) noexcept;

// Runs fn and hands anything it throws to the handler.
template <typename Fn> void GuardedCall(Fn &&fn) noexcept {
    try {
        fn();
    } catch (...) {
        HandleApplicationException(std::current_exception());
    }
}

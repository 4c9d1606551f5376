#include "platform/AppErrors.h"

#include "support/Exceptions.h"

#include <QDebug>

namespace {
ApplicationErrorHandler &handlerSlot() {
    static ApplicationErrorHandler handler;
    return handler;
}
} // namespace

void SetApplicationErrorHandler(ApplicationErrorHandler handler) {
    handlerSlot() = std::move(handler);
}

void HandleApplicationException(std::exception_ptr error) noexcept {
    try {
        const QString message = ExceptionMessage(error);
        if (handlerSlot())
            handlerSlot()(message);
        else
            qWarning().noquote() << "Unhandled error:" << message;
    } catch (...) {
        qWarning("Unhandled error while reporting an error");
    }
}

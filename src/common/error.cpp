#include "common/error.h"

#include <cerrno>

namespace qor {

int err_from_errno(int errnum) {
    switch (errnum) {
        case ENOENT:
            return ERR_NOT_FOUND;
        case ENOMEM:
            return ERR_NOMEM;
        case EINVAL:
            return ERR_INVALID;
        case EEXIST:
            return ERR_EXISTS;
        case EAGAIN:
            return ERR_AGAIN;
        default:
            return ERR_GENERIC;
    }
}

}  // namespace qor

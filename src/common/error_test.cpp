#include "common/error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace qor {
namespace {

TEST(ErrFromErrno, MapsTheTableAndEverythingElseToGeneric) {
    const struct {
        int errnum;
        int code;
    } cases[] = {
        {ENOENT, ERR_NOT_FOUND}, {ENOMEM, ERR_NOMEM},    {EINVAL, ERR_INVALID},
        {EEXIST, ERR_EXISTS},    {EAGAIN, ERR_AGAIN},    {EISDIR, ERR_GENERIC},
        {EPERM, ERR_GENERIC},    {ENOTDIR, ERR_GENERIC}, {ENOSPC, ERR_GENERIC},
        {0, ERR_GENERIC},        {200, ERR_GENERIC},     {-5, ERR_GENERIC},
    };
    for (const auto& c : cases) EXPECT_EQ(err_from_errno(c.errnum), c.code) << c.errnum;
    EXPECT_EQ(ERR_NOT_FOUND, -4);
    EXPECT_EQ(ERR_EXISTS, -5);
    EXPECT_EQ(ERR_FORMAT, -7);
    EXPECT_EQ(ERR_AGAIN, -9);
}

}  // namespace
}  // namespace qor

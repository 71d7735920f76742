#include "remote/remote_error.h"

#include <gtest/gtest.h>

#include <system_error>

#include "platform/http/url_error.h"
#include "platform/task/task.h"
#include "remote/fp_error.h"

namespace tw {
namespace {

using nlohmann::json;
using C = FileProviderErrorCode;

// A transient error maps to -1004 and only such; a read-only or unavailable space carries its text.
TEST(RemoteErrorMapping, FollowsTheHostTableFirstMatchWins) {
    const std::string readOnly =  // byte for byte: a person reads them
        "Este espa\xc3\xa7o est\xc3\xa1 somente leitura no momento: d\xc3\xa1 para ver e baixar os arquivos, "
        "mas n\xc3\xa3o enviar nem alterar. Veja o estado da conta na web.";
    const std::string unavailable =
        "Este espa\xc3\xa7o est\xc3\xa1 indispon\xc3\xadvel no momento. Seus arquivos continuam guardados; "
        "se isso persistir, veja o estado da conta na web.";
    const auto http = [](int status, std::string code, json body = {}) {
        return RemoteError::http(status, std::move(code), std::move(body));
    };
    struct Case {
        RemoteError error;
        std::int64_t code;
        std::string message = "";
    };
    const Case cases[] = {
        {RemoteError::network(std::make_exception_ptr(std::runtime_error("boom"))), -1004},
        {http(403, "space_suspended"), -2005, unavailable},
        {http(410, "space_unavailable"), -2005, unavailable},
        {http(410, "gone"), -1002},
        {http(402, "payment_required"), -2005, readOnly},
        {http(402, "quota"), -2005},
        {http(403, "account_deleting"), -2005, readOnly},
        {http(403, "forbidden", {{"error", "forbidden"}, {"reason", "account_deleting"}}), -2005, readOnly},
        {http(403, "forbidden"), -1005},
        {http(403, "forbidden", {{"reason", 1}}), -1005},
        {http(404, "not_found"), -1005},
        {http(401, "unauthorized"), -1000},
        {http(429, "slow_down"), -1004},
        {http(408, "http_408"), -1004},
        {http(502, "bad_response"), -1004},
        {http(500, "x"), -1004},
        {http(599, "x"), -1004},
        {http(499, "x"), -2005},
        {http(400, "x"), -2005},
        {http(409, "name_conflict"), -1001},
        {http(409, "Name_Conflict"), -2005},
        {http(412, "version_mismatch"), -2005},
        {http(0, "file_changed"), -2005},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.what());
        EXPECT_EQ(c.error.isTransient(), c.code == -1004);
        EXPECT_EQ(c.error.isReadOnly(), c.message == readOnly);
        EXPECT_EQ(c.error.isSpaceUnavailable(), c.message == unavailable);
        const Error mapped = fpError(std::make_exception_ptr(c.error));
        EXPECT_EQ(mapped.domain(), fileProviderErrorDomain);
        EXPECT_EQ(mapped.code(), c.code);
        EXPECT_EQ(mapped.userInfo().localizedDescription.value_or(""), c.message);
        EXPECT_FALSE(mapped.userInfo().collidingItem);
    }
    EXPECT_FALSE(RemoteError::cancelled().isTransient());
}

// A cancelled call is the system's "user cancelled"; other errors keep their own domain and code.
TEST(RemoteErrorMapping, CancelledAndOtherErrorsKeepTheirOwnDomainAndCode) {
    const std::pair<std::exception_ptr, std::pair<std::string, std::int64_t>> cases[] = {
        {std::make_exception_ptr(RemoteError::cancelled()), {cocoaErrorDomain, 3072}},
        {std::make_exception_ptr(fileProviderError(C::noSuchItem)), {fileProviderErrorDomain, -1005}},
        {std::make_exception_ptr(http::URLError(http::URLError::Code::badServerResponse)),
         {http::urlErrorDomain, -1011}},
        {std::make_exception_ptr(std::system_error(ENOSPC, std::generic_category())), {"generic", ENOSPC}},
        {std::make_exception_ptr(CancellationError()),
         {CancellationError().domain(), CancellationError().code()}},
    };
    for (const auto& [error, expected] : cases) {
        const Error mapped = fpError(error);
        EXPECT_EQ(std::pair(mapped.domain(), mapped.code()), expected);
    }
}

}  // namespace
}  // namespace tw

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

std::string text(std::string_view view) {
    return std::string(view);
}

TEST(RemoteErrorMapping, FollowsTheHostTableFirstMatchWins) {
    struct Case {
        std::string name;
        RemoteError error;
        bool transient, readOnly, unavailable;
        std::string domain;
        std::int64_t code;
        std::optional<std::string> message;
    };
    const std::string fp = fileProviderErrorDomain;
    const auto network = RemoteError::network(std::make_exception_ptr(std::runtime_error("boom")));
    const std::vector<Case> cases = {
        {"cancelled", RemoteError::cancelled(), false, false, false, cocoaErrorDomain, 3072, std::nullopt},
        {"network", network, true, false, false, fp, -1004, std::nullopt},
        {"403 space_suspended", RemoteError::http(403, "space_suspended"), false, false, true, fp, -2005,
         text(RemoteError::spaceUnavailableMessage)},
        {"410 space_unavailable", RemoteError::http(410, "space_unavailable"), false, false, true, fp, -2005,
         text(RemoteError::spaceUnavailableMessage)},
        {"410 gone", RemoteError::http(410, "gone"), false, false, false, fp, -1002, std::nullopt},
        {"402 payment_required", RemoteError::http(402, "payment_required"), false, true, false, fp, -2005,
         text(RemoteError::readOnlyMessage)},
        {"402 other", RemoteError::http(402, "quota"), false, false, false, fp, -2005, std::nullopt},
        {"403 account_deleting", RemoteError::http(403, "account_deleting"), false, true, false, fp, -2005,
         text(RemoteError::readOnlyMessage)},
        {"403 forbidden reason account_deleting",
         RemoteError::http(403, "forbidden", {{"error", "forbidden"}, {"reason", "account_deleting"}}), false,
         true, false, fp, -2005, text(RemoteError::readOnlyMessage)},
        {"403 forbidden without reason", RemoteError::http(403, "forbidden"), false, false, false, fp, -1005,
         std::nullopt},
        {"403 forbidden reason not a string", RemoteError::http(403, "forbidden", {{"reason", 1}}), false,
         false, false, fp, -1005, std::nullopt},
        {"404", RemoteError::http(404, "not_found"), false, false, false, fp, -1005, std::nullopt},
        {"401", RemoteError::http(401, "unauthorized"), false, false, false, fp, -1000, std::nullopt},
        {"429", RemoteError::http(429, "slow_down"), true, false, false, fp, -1004, std::nullopt},
        {"408", RemoteError::http(408, "http_408"), true, false, false, fp, -1004, std::nullopt},
        {"502 bad_response", RemoteError::http(502, "bad_response"), true, false, false, fp, -1004,
         std::nullopt},
        {"500", RemoteError::http(500, "x"), true, false, false, fp, -1004, std::nullopt},
        {"599", RemoteError::http(599, "x"), true, false, false, fp, -1004, std::nullopt},
        {"499", RemoteError::http(499, "x"), false, false, false, fp, -2005, std::nullopt},
        {"400", RemoteError::http(400, "x"), false, false, false, fp, -2005, std::nullopt},
        {"409 name_conflict", RemoteError::http(409, "name_conflict"), false, false, false, fp, -1001,
         std::nullopt},
        {"409 Name_Conflict", RemoteError::http(409, "Name_Conflict"), false, false, false, fp, -2005,
         std::nullopt},
        {"412", RemoteError::http(412, "version_mismatch"), false, false, false, fp, -2005, std::nullopt},
        {"0 file_changed", RemoteError::http(0, "file_changed"), false, false, false, fp, -2005,
         std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.error.isTransient(), c.transient);
        EXPECT_EQ(c.error.isReadOnly(), c.readOnly);
        EXPECT_EQ(c.error.isSpaceUnavailable(), c.unavailable);
        const Error mapped = fpError(std::make_exception_ptr(c.error));
        EXPECT_EQ(mapped.domain(), c.domain);
        EXPECT_EQ(mapped.code(), c.code);
        EXPECT_EQ(mapped.userInfo().localizedDescription, c.message);
        EXPECT_FALSE(mapped.userInfo().collidingItem);
    }
}

TEST(RemoteErrorMapping, OtherErrorsKeepTheirOwnDomainAndCode) {
    const std::pair<std::exception_ptr, std::pair<std::string, std::int64_t>> cases[] = {
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

// The two texts a person reads: a changed byte is a changed message.
TEST(RemoteErrorMapping, MessagesAreTheServiceTextsByteForByte) {
    EXPECT_EQ(
        RemoteError::readOnlyMessage,
        "Este espa\xc3\xa7o est\xc3\xa1 somente leitura no momento: d\xc3\xa1 para ver e baixar os arquivos, "
        "mas n\xc3\xa3o enviar nem alterar. Veja o estado da conta na web.");
    EXPECT_EQ(
        RemoteError::spaceUnavailableMessage,
        "Este espa\xc3\xa7o est\xc3\xa1 indispon\xc3\xadvel no momento. Seus arquivos continuam guardados; "
        "se isso persistir, veja o estado da conta na web.");
}

}  // namespace
}  // namespace tw

// decodeStarted, the multipart start reply: a Started or a DecodeError, nothing else. It accepts exactly an
// object whose "uploadId" is a string and whose "partSize" is an integer within 64 signed bits, as nlohmann
// reads the reply, with those values.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string_view>

#include "fuzz_check.h"
#include "records/records.h"
#include "remote/upload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<tw::Started> got;
    try {
        got = tw::decodeStarted(text);
    } catch (const tw::DecodeError&) {
    } catch (const std::exception& error) {
        fuzzUnexpected("decodeStarted", &error);
    }
    const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    const auto id = json.is_object() ? json.find("uploadId") : json.end();
    const auto part = json.is_object() ? json.find("partSize") : json.end();
    const bool accepted =
        json.is_object() && id != json.end() && id->is_string() && part != json.end() &&
        part->is_number_integer() &&
        !(part->is_number_unsigned() &&
          part->get<std::uint64_t>() > std::uint64_t{std::numeric_limits<std::int64_t>::max()});
    FUZZ_CHECK(got.has_value() == accepted);
    if (got)
        FUZZ_CHECK(got->uploadId == id->get<std::string>() && got->partSize == part->get<std::int64_t>());
    return 0;
}

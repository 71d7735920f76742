#include "host_calls/item_calls.h"

#include <system_error>

#include "host_calls/answer.h"

namespace tw::hostcalls {
namespace {

// Deletes a delivered file that nobody takes over any more.
template <typename Fetched>
void removeFile(Fetched& fetched) {
    std::error_code ignored;
    std::filesystem::remove(fetched.file, ignored);
}

// A delivery's missing file or item is the extension's fault, answered as an error rather than trusted.
Error incomplete(const char* call) {
    return Error("tidewright", 1, {}, std::string(call) + " completed without a file or an item");
}

}  // namespace

host::ItemPointer item(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                       const Limits& limits) {
    requireNotStopped(limits);
    auto answer = std::make_shared<Answer<host::ItemPointer>>("item");
    auto progress = extension.item(identifier, host::Request{},
                                   [answer](host::ItemPointer item, std::optional<Error> error) {
                                       if (error) return answer->fail(std::move(*error));
                                       answer->succeed(std::move(item));
                                   });
    return answer->wait(limits, progress);
}

Delivered fetchContents(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                        const std::optional<host::ItemVersion>& version, const Limits& limits) {
    requireNotStopped(limits);
    auto answer = std::make_shared<Answer<Delivered>>("fetchContents", removeFile<Delivered>);
    auto progress = extension.fetchContents(identifier, version, host::Request{},
                                            [answer](std::optional<std::filesystem::path> file,
                                                     host::ItemPointer item, std::optional<Error> error) {
                                                if (error) return answer->fail(std::move(*error));
                                                if (!file || !item)
                                                    return answer->fail(incomplete("fetchContents"));
                                                answer->succeed({std::move(*file), std::move(item)});
                                            });
    return answer->wait(limits, progress);
}

DeliveredRange fetchPartialContents(host::ReplicatedExtension& extension,
                                    const host::ItemIdentifier& identifier, const host::ItemVersion& version,
                                    host::ByteRange minimalRange, std::int64_t alignment,
                                    const Limits& limits) {
    requireNotStopped(limits);
    auto answer =
        std::make_shared<Answer<DeliveredRange>>("fetchPartialContents", removeFile<DeliveredRange>);
    auto progress = extension.fetchPartialContents(
        identifier, version, host::Request{}, minimalRange, alignment, 0,
        [answer](std::optional<std::filesystem::path> file, host::ItemPointer item, host::ByteRange range,
                 host::MaterializationFlags, std::optional<Error> error) {
            if (error) return answer->fail(std::move(*error));
            if (!file || !item) return answer->fail(incomplete("fetchPartialContents"));
            answer->succeed({std::move(*file), std::move(item), range});
        });
    return answer->wait(limits, progress);
}

Changed createItem(host::ReplicatedExtension& extension, host::ItemPointer itemTemplate,
                   host::ItemFieldSet fields, std::optional<std::filesystem::path> contents,
                   std::uint64_t options, const Limits& limits) {
    requireNotStopped(limits);
    auto answer = std::make_shared<Answer<Changed>>("createItem");
    auto progress =
        extension.createItem(std::move(itemTemplate), fields, std::move(contents), options, host::Request{},
                             [answer](host::ItemPointer item, host::ItemFieldSet pending,
                                      bool shouldFetchContent, std::optional<Error> error) {
                                 if (error) return answer->fail(std::move(*error));
                                 answer->succeed({std::move(item), pending, shouldFetchContent});
                             });
    return answer->wait(limits, progress);
}

Changed modifyItem(host::ReplicatedExtension& extension, host::ItemPointer item,
                   const host::ItemVersion& baseVersion, host::ItemFieldSet changedFields,
                   std::optional<std::filesystem::path> contents, std::uint64_t options,
                   const Limits& limits) {
    requireNotStopped(limits);
    auto answer = std::make_shared<Answer<Changed>>("modifyItem");
    auto progress = extension.modifyItem(
        std::move(item), baseVersion, changedFields, std::move(contents), options, host::Request{},
        [answer](host::ItemPointer changed, host::ItemFieldSet pending, bool shouldFetchContent,
                 std::optional<Error> error) {
            if (error) return answer->fail(std::move(*error));
            answer->succeed({std::move(changed), pending, shouldFetchContent});
        });
    return answer->wait(limits, progress);
}

void deleteItem(host::ReplicatedExtension& extension, const host::ItemIdentifier& identifier,
                const host::ItemVersion& baseVersion, std::uint64_t options, const Limits& limits) {
    requireNotStopped(limits);
    // std::optional<void> cannot be: the answer holds a placeholder.
    auto answer = std::make_shared<Answer<bool>>("deleteItem");
    auto progress = extension.deleteItem(identifier, baseVersion, options, host::Request{},
                                         [answer](std::optional<Error> error) {
                                             if (error) return answer->fail(std::move(*error));
                                             answer->succeed(true);
                                         });
    answer->wait(limits, progress);
}

}  // namespace tw::hostcalls

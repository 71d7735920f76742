// Content uploads: the direct upload (POST /api/v1/files, the body is the content) and the multipart
// upload (POST /api/v1/uploads, PUT .../parts/N, POST .../complete, DELETE to abort).
//
// A direct upload's bytes go to a temporary file first. A multipart upload has one content file from its
// start, each part written in place at its offset and recorded once all its bytes are there; completing
// renames that file (no copy). Only a complete, checked content file is renamed into blobs/, and only then
// does one transaction make a node point at it; a failure takes the file away again.

#include "server/http_util.h"
#include "server/request_params.h"
#include "server/routes.h"
#include "server/util.h"

namespace tw::server {
namespace fs = std::filesystem;

namespace {

// The conflict policy: "fail" (the default) or "rename".
bool renamePolicy(const std::string& conflict) {
    if (conflict.empty() || conflict == "fail") return false;
    if (conflict == "rename") return true;
    throw ApiError(400, "invalid_conflict");
}

// Streams the request body into `file`; throws 400 "incomplete_body" when the connection broke, and
// `tooLongStatus` `tooLongCode` when more than `max` bytes arrive.
void receive(RequestBody& body, TempFile& file, std::int64_t max, int tooLongStatus,
             const char* tooLongCode) {
    bool tooLong = false;
    bool complete = body.stream([&](const char* data, std::size_t size) {
        if (file.size() + static_cast<std::int64_t>(size) > max) {
            tooLong = true;
            return false;
        }
        file.write(data, size);
        return true;
    });
    if (tooLong) throw ApiError(tooLongStatus, tooLongCode);
    if (!complete) throw ApiError(400, "incomplete_body");
}

// Renames the finished content into place and records it; on failure the content file goes away.
Committed commitContent(Service& service, TempFile& file, FileCommit commit,
                        const std::function<Committed(const FileCommit&)>& record) {
    commit.rev = "r" + randomHex(12);
    commit.size = file.size();
    file.moveTo(service.blobs->blobPath(commit.rev));
    Committed done;
    try {
        done = record(commit);
    } catch (...) {
        service.blobs->removeBlob(commit.rev);
        throw;
    }
    if (done.oldRev) service.blobs->removeBlob(*done.oldRev);
    return done;
}

// Puts a completed upload's content back after its completion failed to be recorded. Never throws: the
// caller has the error to answer with.
void restoreUpload(Service& service, const std::string& rev, const std::string& uploadId) noexcept {
    try {
        service.blobs->uncommitUpload(rev, uploadId);
    } catch (const fs::filesystem_error&) {
        service.blobs->removeBlob(rev);
        return;
    }
    try {
        // An abort or expiry that came meanwhile found no file to remove.
        if (!service.store->upload(uploadId)) service.blobs->removeUpload(uploadId);
    } catch (const std::exception&) {
        // The store failed: the file stays until the upload expires or the service starts again.
    }
}

// Bytes of a part gathered before they are written into the upload's file.
constexpr std::int64_t partWriteBlock = 1 << 20;

std::int64_t partCount(std::int64_t size, std::int64_t partSize) {
    return (size + partSize - 1) / partSize;
}

std::int64_t partLength(std::int64_t size, std::int64_t partSize, std::int64_t part) {
    return std::min(partSize, size - (part - 1) * partSize);
}

}  // namespace

void addUploadRoutes(httplib::Server& http, Service& service) {
    addRoute(http, "POST", "/api/v1/files",
             [&service](const auto& request, auto& response, RequestBody& body) {
                 FileCommit commit;
                 if (!request.has_param("name")) throw ApiError(400, "invalid_name");
                 commit.name = checkedName(request.get_param_value("name"));
                 commit.mime = checkedMime(request.get_param_value("mime"));
                 commit.rename = renamePolicy(request.get_param_value("conflict"));
                 if (request.has_param("parent"))
                     commit.parent = parentNum(request.get_param_value("parent"));
                 if (request.has_param("replace"))
                     commit.replace = nodeNum(request.get_param_value("replace"));
                 commit.ifMatch = ifMatch(request);
                 auto announced = parseInteger(request.get_header_value("Content-Length"));
                 if (announced && *announced > maxContentSize) throw ApiError(413, "too_large");
                 // Refuse before the bytes travel when the answer is already known.
                 service.store->precheck(commit);

                 TempFile file(service.blobs->tmpDir());
                 receive(body, file, maxContentSize, 413, "too_large");
                 auto done = commitContent(service, file, commit,
                                           [&](const FileCommit& c) { return service.store->commitFile(c); });
                 sendJson(response, commit.replace ? 200 : 201, toJson(done.node));
             });

    addRoute(http, "POST", "/api/v1/uploads", [&service](const auto&, auto& response, RequestBody& body) {
        auto json = parseObject(body.readAll(maxJsonBody));
        Upload upload;
        FileCommit& commit = upload.target;
        auto name = stringMember(json, "name", "invalid_name");
        if (!name) throw ApiError(400, "invalid_name");
        commit.name = checkedName(*name);
        commit.mime = checkedMime(stringMember(json, "mime", "invalid_mime").value_or(""));
        commit.rename = renamePolicy(stringMember(json, "conflict", "invalid_conflict").value_or(""));
        if (auto parent = stringMember(json, "parent", "invalid_parent")) commit.parent = parentNum(*parent);
        if (auto replace = stringMember(json, "replace", "invalid_replace"))
            commit.replace = nodeNum(*replace);
        if (!json.contains("size") || !json["size"].is_number_integer()) throw ApiError(400, "invalid_size");
        commit.size = json["size"].get<std::int64_t>();
        if (commit.size < 0 || commit.size > maxContentSize) throw ApiError(400, "invalid_size");
        if (json.contains("partSize") &&
            (!json["partSize"].is_number_integer() || json["partSize"].get<std::int64_t>() <= 0)) {
            throw ApiError(400, "invalid_part_size");
        }
        if (json.contains("ifMatch")) {
            if (!json["ifMatch"].is_number_integer()) throw ApiError(400, "invalid_if_match");
            commit.ifMatch = json["ifMatch"].get<std::int64_t>();
        }
        service.store->precheck(commit);

        upload.id = "u" + randomHex(12);
        upload.partSize = service.partSize.load();
        upload.createdAt = nowMs();
        service.blobs->createUpload(upload.id);
        try {
            service.store->addUpload(upload);
        } catch (...) {
            service.blobs->removeUpload(upload.id);
            throw;
        }
        sendJson(response, 201, {{"uploadId", upload.id}, {"partSize", upload.partSize}});
    });

    addRoute(http, "PUT", R"(/api/v1/uploads/([^/]+)/parts/([^/]+))",
             [&service](const auto& request, auto& response, RequestBody& body) {
                 auto upload = service.store->upload(request.matches[1]);
                 if (!upload) throw ApiError::notFound();
                 auto part = parseInteger(request.matches[2].str());
                 std::int64_t count = partCount(upload->target.size, upload->partSize);
                 if (!part || *part < 1 || *part > count) throw ApiError(400, "invalid_part");
                 std::int64_t expected = partLength(upload->target.size, upload->partSize, *part);
                 auto announced = parseInteger(request.get_header_value("Content-Length"));
                 if (announced && *announced != expected) throw ApiError(400, "part_size");

                 auto claim = service.uploadGates.claimPart(upload->id, *part);
                 // Its bytes are about to change: until all of them are back, the part is not there.
                 service.store->forgetPart(upload->id, *part);
                 FileDescriptor file = service.blobs->openUpload(upload->id);
                 if (!file) throw ApiError::notFound();  // aborted or expired meanwhile
                 // The body arrives a few KiB at a time; it is written in larger blocks, since every write
                 // takes the file's lock, which the upload's other parts contend for.
                 std::int64_t written = (*part - 1) * upload->partSize;
                 std::string block;
                 block.reserve(static_cast<std::size_t>(std::min(expected, partWriteBlock)));
                 const auto flush = [&] {
                     writeAt(file.get(), block.data(), block.size(), written);
                     written += static_cast<std::int64_t>(block.size());
                     block.clear();
                 };
                 std::int64_t received = 0;
                 bool tooLong = false;
                 bool complete = body.stream([&](const char* data, std::size_t size) {
                     if (received + static_cast<std::int64_t>(size) > expected) {
                         tooLong = true;
                         return false;
                     }
                     received += static_cast<std::int64_t>(size);
                     block.append(data, size);
                     if (static_cast<std::int64_t>(block.size()) >= partWriteBlock) flush();
                     return true;
                 });
                 if (tooLong) throw ApiError(400, "part_size");
                 if (!complete) throw ApiError(400, "incomplete_body");
                 if (received != expected) throw ApiError(400, "part_size");
                 flush();
                 if (!service.store->recordPart(upload->id, *part, received)) throw ApiError::notFound();
                 sendJson(response, 200, {{"uploadId", upload->id}, {"part", *part}, {"size", expected}});
             });

    addRoute(http, "POST", R"(/api/v1/uploads/([^/]+)/complete)",
             [&service](const auto& request, auto& response, RequestBody& body) {
                 if (body.announced()) body.readAll(maxJsonBody);
                 auto upload = service.store->upload(request.matches[1]);
                 if (!upload) throw ApiError::notFound();
                 auto claim = service.uploadGates.claimCompletion(upload->id);
                 std::int64_t count = partCount(upload->target.size, upload->partSize);
                 auto stored = service.store->uploadParts(upload->id);
                 nlohmann::json missing = nlohmann::json::array();
                 std::int64_t total = 0;
                 for (std::int64_t part = 1; part <= count; ++part) {
                     auto found = stored.find(part);
                     if (found == stored.end()) {
                         missing.push_back(part);
                     } else {
                         total += found->second;
                     }
                 }
                 if (!missing.empty()) throw ApiError(400, "missing_parts", {{"missing", missing}});
                 if (total != upload->target.size) throw ApiError(400, "size_mismatch");
                 std::error_code error;
                 auto size = fs::file_size(service.blobs->uploadPath(upload->id), error);
                 if (error) throw ApiError::notFound();  // aborted meanwhile
                 if (static_cast<std::int64_t>(size) != upload->target.size)
                     throw ApiError(400, "size_mismatch");

                 FileCommit commit = upload->target;
                 commit.rev = "r" + randomHex(12);
                 try {
                     service.blobs->commitUpload(upload->id, commit.rev);
                 } catch (const fs::filesystem_error&) {
                     throw ApiError::notFound();  // aborted meanwhile
                 }
                 Committed done;
                 try {
                     done = service.store->completeUpload(upload->id, commit);
                 } catch (...) {
                     // The content goes back to the upload, which may complete later or be aborted; when it
                     // was aborted or expired meanwhile, with it.
                     restoreUpload(service, commit.rev, upload->id);
                     throw;
                 }
                 if (done.oldRev) service.blobs->removeBlob(*done.oldRev);
                 sendJson(response, upload->target.replace ? 200 : 201, toJson(done.node));
             });

    addRoute(http, "DELETE", R"(/api/v1/uploads/([^/]+))",
             [&service](const auto& request, auto& response, auto&) {
                 std::string id = request.matches[1];
                 if (!service.store->removeUpload(id)) throw ApiError::notFound();
                 service.blobs->removeUpload(id);
                 sendNoContent(response);
             });
}

}  // namespace tw::server

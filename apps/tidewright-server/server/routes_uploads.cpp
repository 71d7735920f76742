// Content uploads: the direct upload (POST /api/v1/files, the body is the content) and the multipart
// upload (POST /api/v1/uploads, PUT .../parts/N, POST .../complete, DELETE to abort).
//
// Bytes go to a temporary file first. Only a complete, checked content file is renamed into blobs/,
// and only then does one transaction make a node point at it; any failure removes the file again.

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
        makePrivateDir(service.blobs->uploadDir(upload.id));
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

                 TempFile file(service.blobs->tmpDir());
                 receive(body, file, expected, 400, "part_size");
                 if (file.size() != expected) throw ApiError(400, "part_size");
                 try {
                     file.moveTo(service.blobs->partPath(upload->id, *part));
                 } catch (const fs::filesystem_error&) {
                     throw ApiError::notFound();  // aborted meanwhile: its folder is gone
                 }
                 sendJson(response, 200, {{"uploadId", upload->id}, {"part", *part}, {"size", expected}});
             });

    addRoute(http, "POST", R"(/api/v1/uploads/([^/]+)/complete)",
             [&service](const auto& request, auto& response, RequestBody& body) {
                 if (body.announced()) body.readAll(maxJsonBody);
                 auto upload = service.store->upload(request.matches[1]);
                 if (!upload) throw ApiError::notFound();
                 std::int64_t count = partCount(upload->target.size, upload->partSize);
                 nlohmann::json missing = nlohmann::json::array();
                 std::int64_t total = 0;
                 for (std::int64_t part = 1; part <= count; ++part) {
                     std::error_code error;
                     auto size = fs::file_size(service.blobs->partPath(upload->id, part), error);
                     if (error) {
                         missing.push_back(part);
                     } else {
                         total += static_cast<std::int64_t>(size);
                     }
                 }
                 if (!missing.empty()) throw ApiError(400, "missing_parts", {{"missing", missing}});
                 if (total != upload->target.size) throw ApiError(400, "size_mismatch");

                 TempFile file(service.blobs->tmpDir());
                 try {
                     for (std::int64_t part = 1; part <= count; ++part) {
                         file.append(service.blobs->partPath(upload->id, part));
                     }
                 } catch (const std::system_error&) {
                     throw ApiError::notFound();  // aborted meanwhile
                 }
                 if (file.size() != upload->target.size) throw ApiError(400, "size_mismatch");
                 auto done = commitContent(service, file, upload->target, [&](const FileCommit& c) {
                     return service.store->completeUpload(upload->id, c);
                 });
                 service.blobs->removeUpload(upload->id);
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

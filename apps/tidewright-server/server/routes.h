#pragma once

// Registration of the request handlers, one function per group of endpoints.

#include "server/service.h"

#include <httplib.h>

namespace tw::server {

// GET/POST/PATCH/DELETE under /api/v1/nodes, /trash and /changes.
void addNodeRoutes(httplib::Server& http, Service& service);
// POST /api/v1/files and /api/v1/uploads with its parts, completion and abort.
void addUploadRoutes(httplib::Server& http, Service& service);
// POST /api/v1/nodes/ID/open and GET /blobs/TOKEN.
void addDownloadRoutes(httplib::Server& http, Service& service);
// POST /api/v1/auth/device, DELETE /api/v1/devices/ID, POST /api/cloud/auth/app/revoke.
void addDeviceRoutes(httplib::Server& http, Service& service);
// /_control/faults, /_control/space and /_control/settings (only with --allow-faults).
void addControlRoutes(httplib::Server& http, Service& service);

}  // namespace tw::server

// A wrong arrow for scripts/check-layering to find: the local service reaching into the client.
#include "platform/log.h"
#include "server/service.h"

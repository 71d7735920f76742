// A wrong arrow for scripts/check-layering to find: the platform layer reaching the API client.
#include "platform/error.h"
#include "remote/remote.h"

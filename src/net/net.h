// The node's HTTP/1.1 interface in one include: the change-request channel, request
// framing, routes, the status document, the server and the client. Code that needs only
// one of them includes that header (a wallet includes net/client.h alone).
#pragma once

#include "net/channel.h"
#include "net/client.h"
#include "net/http.h"
#include "net/routes.h"
#include "net/server.h"
#include "net/status.h"

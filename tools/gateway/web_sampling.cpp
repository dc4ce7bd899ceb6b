#include "web_sampling.h"

#include <httplib.h>

namespace gateway {

void Sampling::routes(httplib::Server& server, Finder find) {
    (void)server;
    (void)find;
    (void)model_;
}

}  // namespace gateway

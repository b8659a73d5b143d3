// The one page host of the program.
#include "bench/page_host.h"

namespace {

IPageHost* host = nullptr;

}  // namespace

IPageHost* PageHost() {
    return host;
}

void SetPageHost(IPageHost* newHost) {
    host = newHost;
}

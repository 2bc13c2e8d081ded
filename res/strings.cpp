#include "res/strings.h"

#include "res/resource.h"

namespace res {

const char* LoadString(int id) {
    switch (id) {
    case IDS_SOCKETS_INIT_FAILED:
        return "Windows sockets initialization failed.";
    default:
        return nullptr;
    }
}

} // namespace res

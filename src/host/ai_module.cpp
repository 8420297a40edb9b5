// AI: the text model's bindings (none built yet).
#include "modules.h"

HostMembers aiMembers() {
    return {};
}

// Audio: the sound player's bindings (none built yet).
#include "modules.h"

HostMembers audioMembers() {
    return {};
}

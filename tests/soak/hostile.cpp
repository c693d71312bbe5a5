#include "soak.h"
namespace soak {
Figure HostileSoak(const Settings &) { return {"hostile", "todo", false, {}}; }
}

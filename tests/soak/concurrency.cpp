#include "soak.h"
namespace soak {
Figure ConcurrencySoak(const Settings &) { return {"concurrency", "todo", false, {}}; }
}

#include "engine/link.h"

// Static storage: every field is zero until the program or a run sets it.
modbus_transfer transfer;

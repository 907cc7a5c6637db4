// Loading the firmware image that travels inside the program as the raw-data
// resource "BINFILE".
#include <windows.h>

#include <assert.h>

#include "globals.h"
#include "image/image.h"
#include "report/fatal.h"

void load_image(modbus_transfer *t)
{
    // The search and the load are not tested one by one: whichever of them
    // fails, the locked pointer is null and the assertion below names it.
    HRSRC resource = FindResourceA(NULL, "BINFILE", RT_RCDATA);
    HGLOBAL loaded = LoadResource(g_instance, resource);
    const uint8_t *image = static_cast<const uint8_t *>(LockResource(loaded));
    assert(image);

    DWORD resource_size = SizeofResource(g_instance, resource);
    assert(resource_size);

    if (image_place(t, image, resource_size) != 0) {
        // The C library's allocator leaves the last error alone; without
        // this the report would show whatever an earlier call left there.
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        fatal_error("Unable to allocate memory for the firmware image");
    }
}

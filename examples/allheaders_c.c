/* The C interface's header compiles as C89 in a host project, and its
   functions link from the installed library. */
#include <velmor/velmor_c.h>

#include <stdio.h>

int main(void)
{
    velmor_manager* manager = NULL;
    uint32_t count = 1;
    int32_t status = velmor_create(&manager);
    if (status == VELMOR_OK) {
        status = velmor_device_count(manager, &count);
    }
    printf("libvelmor %s, C interface %lu: %s, %lu devices before connecting\n", velmor_library_version(),
           (unsigned long)velmor_c_api_version(), velmor_status_name(status), (unsigned long)count);
    velmor_destroy(manager);
    return status == VELMOR_OK && count == 0 && velmor_c_api_version() >= VELMOR_C_API_VERSION ? 0 : 1;
}

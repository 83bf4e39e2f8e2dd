/* Calls the probe entry point of the installed library; plain C, as the
 * header promises. */
#include <stdio.h>

#include <quellsync_http.h>

int main(void) {
    const int32_t result = Test();
    printf("Test() = %d\n", (int)result);
    return result == 0 ? 0 : 1;
}

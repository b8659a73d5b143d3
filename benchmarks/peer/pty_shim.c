/* Lets a general serial terminal keep a pseudo-terminal open as its port: it asks udev for
 * the port's device and reads the modem lines, and a pty has neither. Preloaded into the
 * peer terminal only, never into Palvex. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <sys/ioctl.h>

void* g_udev_client_query_by_device_file(void* client, const char* file) {
    static char present;
    (void)client;
    (void)file;
    return &present;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, void*);
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (real == 0) {
        real = (int (*)(int, unsigned long, void*))dlsym(RTLD_NEXT, "ioctl");
    }
    const int result = real(fd, request, arg);
    /* Modem lines of a pty: all off, and setting them succeeds. */
    if (result != 0 && (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
                        request == TIOCMBIC)) {
        if (request == TIOCMGET && arg != 0) {
            *(int*)arg = 0;
        }
        return 0;
    }
    return result;
}

/* Preloaded in the AddressSanitizer run only: libraries are never unloaded,
 * so a leak inside a driver that GL or GLFW would unload at exit (Mesa's)
 * keeps a symbolised stack that the leak suppressions can name. */
int dlclose(void *handle) {
    (void)handle;
    return 0;
}

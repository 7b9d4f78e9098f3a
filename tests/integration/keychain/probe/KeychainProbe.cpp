// Saves, loads and deletes one password and prints what happened, one line per step.
// Arguments choose the steps (save, load, delete); none means all three. "pause" behaves
// like a desktop program whose event loop is GLib's (as the Qt tray application's is): it
// joins the session bus from that loop first and runs the loop for three seconds after
// the save, so that a test can take the bus away meanwhile.
#include "connections/KeychainHelper.h"

#include <cstdio>
#include <gio/gio.h>
#include <set>
#include <string>

using quillhaven::KeychainHelper;

int main(int argc, char** argv) {
    std::set<std::string> steps(argv + 1, argv + argc);
    if (steps.empty()) steps = {"save", "load", "delete"};
    GDBusConnection* hostBus = nullptr;
    if (steps.count("pause")) hostBus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    const std::string id = "6F1C2A30-0B7D-4E59-9A51-3C2D8E4F7A10";
    if (steps.count("save")) {
        try {
            KeychainHelper::savePassword("secret", id);
            std::printf("save: ok\n");
        } catch (const std::exception& e) {
            std::printf("save: %s\n", e.what());
        }
    }
    if (steps.count("pause")) {
        gint64 end = g_get_monotonic_time() + 3 * G_USEC_PER_SEC;
        while (g_get_monotonic_time() < end) {
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(10000);
        }
    }
    if (steps.count("load"))
        std::printf("load: %s\n", KeychainHelper::loadPassword(id) ? "present" : "absent");
    if (steps.count("delete")) {
        KeychainHelper::deleteCredentials(id);
        std::printf("delete: done\n");
    }
    if (hostBus) g_object_unref(hostBus);
    return 0;
}

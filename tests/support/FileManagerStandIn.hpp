#pragma once

// The desktop's file manager on the session bus, as far as we use it: run with python3 and a record file,
// it writes "ready" once it holds its name, then one line "ShowItems|uri,...|startup id" a call.
namespace corvane::test {

inline constexpr const char* kFileManagerStandIn = R"(
import sys, dbus, dbus.service, dbus.mainloop.glib
from gi.repository import GLib
dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
record = open(sys.argv[1], 'a', buffering=1)
bus = dbus.SessionBus()

class FileManager(dbus.service.Object):
    @dbus.service.method('org.freedesktop.FileManager1', in_signature='ass')
    def ShowItems(self, uris, startup):
        record.write('ShowItems|%s|%s\n' % (','.join(uris), startup))

name = dbus.service.BusName('org.freedesktop.FileManager1', bus)
FileManager(bus, '/org/freedesktop/FileManager1')
record.write('ready\n')
GLib.MainLoop().run()
)";

} // namespace corvane::test

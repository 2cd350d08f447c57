#pragma once

// The desktop's file manager on the session bus, as far as we use it: run with python3 and a record file,
// it writes "ready " and its bus name once it holds that, then one line "ShowItems|uri,...|startup id" a
// call. With a second argument "notices" it is a notification server instead: "Notify|summary|body".
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

class Notices(dbus.service.Object):
    @dbus.service.method('org.freedesktop.Notifications', out_signature='as')
    def GetCapabilities(self):
        return []
    @dbus.service.method('org.freedesktop.Notifications', in_signature='susssasa{sv}i', out_signature='u')
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        record.write('Notify|%s|%s\n' % (summary, body))
        return 1

service, kind = ('Notifications', Notices) if sys.argv[2:] == ['notices'] else ('FileManager1', FileManager)
name = dbus.service.BusName('org.freedesktop.' + service, bus)
kind(bus, '/org/freedesktop/' + service)
record.write('ready %s\n' % name.get_name())
GLib.MainLoop().run()
)";

} // namespace corvane::test

#!/usr/bin/python3
# Reads a tray item's menu through com.canonical.dbusmenu: prints one line per item ("label", with
# " (off)" when disabled, "-" for a separator; hidden items are left out). With "click LABEL", sends that
# item the "clicked" event instead; with "icon", prints a digest of the item's picture.
import hashlib
import sys

import dbus

bus = dbus.SessionBus()
watcher = bus.get_object("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher")
items = watcher.Get("org.kde.StatusNotifierWatcher", "RegisteredStatusNotifierItems",
                    dbus_interface=dbus.PROPERTIES_IFACE)
if not items:
    print("no item")
    sys.exit(0)
service = str(items[-1])
path = "/StatusNotifierItem"
if "/" in service:
    service, path = service.split("/", 1)
    path = "/" + path
item = bus.get_object(service, path)
if len(sys.argv) > 1 and sys.argv[1] == "icon":
    pixmaps = item.Get("org.kde.StatusNotifierItem", "IconPixmap", dbus_interface=dbus.PROPERTIES_IFACE)
    print(hashlib.sha256(b"".join(bytes(p[2]) for p in pixmaps)).hexdigest())
    sys.exit(0)
menu_path = item.Get("org.kde.StatusNotifierItem", "Menu", dbus_interface=dbus.PROPERTIES_IFACE)
menu = bus.get_object(service, menu_path)
_, layout = menu.GetLayout(0, -1, dbus.Array([], signature="s"), dbus_interface="com.canonical.dbusmenu")
entries = []
for child in layout[2]:
    ident, props, _ = child
    if not props.get("visible", True):
        continue
    if props.get("type", "") == "separator":
        entries.append((ident, "-"))
        continue
    label = str(props.get("label", ""))
    entries.append((ident, label + ("" if props.get("enabled", True) else " (off)")))
if len(sys.argv) > 2 and sys.argv[1] == "click":
    for ident, label in entries:
        if label == sys.argv[2]:
            menu.Event(ident, "clicked", dbus.String("", variant_level=1), dbus.UInt32(0),
                       dbus_interface="com.canonical.dbusmenu")
            print("clicked")
    sys.exit(0)
for _, label in entries:
    print(label)

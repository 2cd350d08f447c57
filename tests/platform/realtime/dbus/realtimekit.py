#!/usr/bin/python3
# A stand-in for RealtimeKit (org.freedesktop.RealtimeKit1) on a bus of the test's own, keeping the rules
# the service keeps: the thread must belong to the caller's process, the caller's RLIMIT_RTTIME (soft and
# hard) must be at most RTTimeUSecMax, the priority at most MaxRealtimePriority, the nice level at least
# MinNiceLevel. It changes no scheduling; it writes "ready" once it holds its name, then one line a call:
# "MakeThreadRealtime|thread|priority|soft/hard" or "MakeThreadHighPriority|thread|nice", or "refused|..."
# for a call it turned down.
# Arguments: bus address, record file, mode (grant, no-realtime, refuse-all), MaxRealtimePriority,
# RTTimeUSecMax, MinNiceLevel.
import os
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

IFACE = "org.freedesktop.RealtimeKit1"
address, record_path, mode = sys.argv[1:4]
max_priority, rttime_max, min_nice = int(sys.argv[4]), int(sys.argv[5]), int(sys.argv[6])
record = open(record_path, "a", buffering=1)


class Refused(dbus.DBusException):
    _dbus_error_name = "org.freedesktop.DBus.Error.AccessDenied"


class RealtimeKit(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/RealtimeKit1")
        self.bus = bus

    def caller(self, sender, thread):
        pid = self.bus.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                     "GetConnectionUnixProcessID", "s", (sender,))
        if not os.path.exists("/proc/%d/task/%d" % (pid, thread)):
            self.refuse("thread %d is not one of process %d" % (thread, pid))
        return pid

    def refuse(self, why):
        record.write("refused|%s\n" % why)
        raise Refused("Operation not permitted")

    @dbus.service.method(IFACE, in_signature="tu", sender_keyword="sender")
    def MakeThreadRealtime(self, thread, priority, sender=None):
        pid = self.caller(sender, thread)
        soft = hard = "unlimited"
        with open("/proc/%d/limits" % pid) as limits:
            for line in limits:
                if line.startswith("Max realtime timeout"):
                    soft, hard = line.split()[3:5]
        if mode != "grant":
            self.refuse("real-time")
        if "unlimited" in (soft, hard) or int(soft) > rttime_max or int(hard) > rttime_max:
            self.refuse("RLIMIT_RTTIME %s/%s" % (soft, hard))
        if priority > max_priority:
            self.refuse("priority %d" % priority)
        record.write("MakeThreadRealtime|%d|%d|%s/%s\n" % (thread, priority, soft, hard))

    @dbus.service.method(IFACE, in_signature="ti", sender_keyword="sender")
    def MakeThreadHighPriority(self, thread, nice, sender=None):
        self.caller(sender, thread)
        if mode == "refuse-all":
            self.refuse("nice")
        if nice < min_nice:
            self.refuse("nice %d" % nice)
        record.write("MakeThreadHighPriority|%d|%d\n" % (thread, nice))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        values = {"MaxRealtimePriority": dbus.Int32(max_priority), "RTTimeUSecMax": dbus.Int64(rttime_max),
                  "MinNiceLevel": dbus.Int32(min_nice)}
        if interface != IFACE or name not in values:
            raise dbus.DBusException("no such property", name="org.freedesktop.DBus.Error.InvalidArgs")
        return values[name]


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName(IFACE, bus)
service = RealtimeKit(bus)
record.write("ready\n")
GLib.MainLoop().run()

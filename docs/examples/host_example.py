#!/usr/bin/env python3
"""host_example.py: a small host application over Qmxzelti and Defloader, in Python
through ctypes.

It opens the interface of one Tarvex unit (by its serial number), shows the unit's
firmware and state, switches the interface on, waits for a coin and pays its value
back out, takes one event, downloads a coin definition file into the unit's SR5
coin acceptor and follows that download to its end. Every call's result is
checked, and every wait is bounded.

usage: host_example.py [--library-dir DIR] [--wait SECONDS] SERIAL COIN_FILE

Linux loads libqmxzelti.so and libdefloader.so with CDLL. 32-bit Windows (the field
platform) loads Qmxzelti.dll and Defloader.dll with WinDLL (__stdcall) and finds
each call under its decorated name, "_OpenSpecificVODVersion@8": an underscore, the
name, "@" and the bytes of its arguments. 64-bit Windows has plain names.

Exit status: 0 all done; 1 a step failed (the message says which); 2 usage.
"""
import argparse
import ctypes
import os
import sys
import time

WINDOWS = sys.platform == "win32"
WINDOWS_32 = WINDOWS and ctypes.sizeof(ctypes.c_void_p) == 4

# From qmxzelti.h and defloader.h.
QMX_OPEN_OK = 0
QMX_VERSION_2 = 0x00010002
QMX_PAY_UNDER_WAY = 0
QMX_PAY_COMPLETE = 1
QMX_MAX_COINS = 256
OPEN_RESULTS = {
    13: "interface version not accepted, or unknown block format",
    21: "the unit's driver is not ready",
    31: "no such unit, or it does not accept a host now",
    123: "serial number longer than 11 characters",
    170: "the unit is being reprogrammed, or its driver is ending",
    1167: "no unit connected to its driver",
}
DFL_KIND_SR5_COINS = 0
DFL_START_OK = 0
DFL_RESULT_DONE = 0
DOWNLOAD_RESULTS = {
    0: "download complete",
    1: "the file could not be opened, or is too large",
    2: "the coin file's sizes disagree with its table",
    3: "the interface could not be opened",
    4: "no acceptor of that model at that address",
    5: "no response from the unit or the acceptor",
    6: "a transmission failed",
}
SR5_UNIT_CODE = 0x02020103
# Defloader opens the interface itself with version 2, and the library keeps one
# version per process: a host that also downloads opens with the same one, so the
# acceptor records keep the layout read here (QmxAcceptorDetails).
INTERFACE_VERSION = QMX_VERSION_2
DOWNLOAD_LIMIT_S = 120  # a coin download takes 6 s and more


class QmxEventDetails(ctypes.Structure):
    _fields_ = [("EventCode", ctypes.c_int), ("EventData1", ctypes.c_int),
                ("EventFlag", ctypes.c_int), ("EventData2", ctypes.c_int)]


class QmxCoinDetails(ctypes.Structure):
    _fields_ = [("Value", ctypes.c_int), ("Setting1", ctypes.c_int),
                ("Count", ctypes.c_int), ("Setting2", ctypes.c_int),
                ("UnitInfo", ctypes.c_int), ("Setting3", ctypes.c_int),
                ("SettingByte", ctypes.c_byte), ("Spare1", ctypes.c_ubyte),
                ("UnitByte", ctypes.c_ubyte), ("Spare2", ctypes.c_ubyte)]


class QmxAcceptorDetails(ctypes.Structure):
    _fields_ = [("UnitCode", ctypes.c_int), ("AcceptorStatus", ctypes.c_int),
                ("CoinCount", ctypes.c_int), ("InterfaceNumber", ctypes.c_int),
                ("Address", ctypes.c_int), ("Setting", ctypes.c_int),
                ("UnitWord1", ctypes.c_int), ("UnitWord2", ctypes.c_int),
                ("Coins", QmxCoinDetails * QMX_MAX_COINS)]


# The sizes the header pins: a record that disagrees would be overwritten past its end.
assert ctypes.sizeof(QmxEventDetails) == 16
assert ctypes.sizeof(QmxCoinDetails) == 28
assert ctypes.sizeof(QmxAcceptorDetails) == 7200


class Failed(Exception):
    """A step that did not succeed; its text says which."""


def bind(library, name, restype, argtypes):
    """The export `name` of `library` with its types. On 32-bit Windows it is found
    under its decorated name (each argument here is 4 bytes there)."""
    exported = "_%s@%d" % (name, 4 * len(argtypes)) if WINDOWS_32 else name
    function = library[exported]
    function.restype = restype
    function.argtypes = argtypes
    return function


class Unit:
    """The calls of Qmxzelti and Defloader this program uses."""

    def __init__(self, library_dir):
        def path(name):
            return os.path.join(library_dir, name) if library_dir else name

        if WINDOWS:
            # Defloader.dll imports Qmxzelti.dll: the folder is searched for it.
            if library_dir:
                os.add_dll_directory(os.path.abspath(library_dir))
            qmx = ctypes.WinDLL(path("Qmxzelti.dll"))
            dfl = ctypes.WinDLL(path("Defloader.dll"))
        else:
            # Qmxzelti first: libdefloader.so needs it and takes the one loaded.
            qmx = ctypes.CDLL(path("libqmxzelti.so"))
            dfl = ctypes.CDLL(path("libdefloader.so"))
        i, p, c = ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p
        s, sp = ctypes.c_short, ctypes.POINTER(ctypes.c_short)
        self.OpenSpecificVODVersion = bind(qmx, "OpenSpecificVODVersion", i, [c, i])
        self.EnableInterface = bind(qmx, "EnableInterface", None, [])
        self.FirmwareVersion = bind(qmx, "FirmwareVersion", i, [c, c])
        self.SerialNumber = bind(qmx, "SerialNumber", i, [])
        self.USBDriverStatus = bind(qmx, "USBDriverStatus", i, [])
        self.CurrentValue = bind(qmx, "CurrentValue", i, [])
        self.CurrentPaid = bind(qmx, "CurrentPaid", i, [])
        self.CurrentUpdates = bind(qmx, "CurrentUpdates", i, [])
        self.PayOut = bind(qmx, "PayOut", None, [i])
        self.LastPayStatus = bind(qmx, "LastPayStatus", i, [])
        self.NextEvent = bind(qmx, "NextEvent", i, [ctypes.POINTER(QmxEventDetails)])
        self.ReadAcceptorDetails = bind(qmx, "ReadAcceptorDetails", i, [i, p])
        self.StartDefinitionDownload = bind(dfl, "StartDefinitionDownload", s, [c, i, i, i])
        self.DefinitionDownloadStatus = bind(dfl, "DefinitionDownloadStatus", s,
                                             [sp, sp, sp, sp])


def difference(after, before):
    """after - before on the unit's wrapping 32-bit totals."""
    return ctypes.c_int32((after - before) & 0xFFFFFFFF).value


def wait_until(seconds, ready, pause=0.02):
    """Calls ready() until it gives something true or `seconds` have passed."""
    end = time.monotonic() + seconds
    while True:
        value = ready()
        if value or time.monotonic() >= end:
            return value
        time.sleep(pause)


def unit_alive(unit):
    """The unit rewrites its area many times a second: a count that stands still
    for a second means a unit that has stopped."""
    before = unit.CurrentUpdates()
    return wait_until(1.0, lambda: unit.CurrentUpdates() != before, pause=0.01)


def find_sr5(unit):
    """Lists the unit's acceptors; the ccTalk address of the first SR5, or None."""
    record = QmxAcceptorDetails()
    address = None
    for index in range(64):  # the library bounds its walk; this bounds ours
        if unit.ReadAcceptorDetails(index, ctypes.byref(record)) != 1:
            break
        print("acceptor %d: unit code 0x%08X at address %d, %d entries"
              % (index, record.UnitCode & 0xFFFFFFFF, record.Address, record.CoinCount))
        if record.UnitCode & 0xFFFFFFFF == SR5_UNIT_CODE and address is None:
            address = record.Address
    return address


def pay(unit, amount, seconds=60):
    """Pays `amount` out and follows the payout to its end."""
    if unit.LastPayStatus() == QMX_PAY_UNDER_WAY:
        raise Failed("a payout is still running")
    paid_before, updates_before = unit.CurrentPaid(), unit.CurrentUpdates()
    unit.PayOut(amount)
    print("paying %d" % amount, flush=True)
    # Until the unit has taken the request up, the status still tells of the payout
    # before; the unit answers by rewriting its area, so wait for that first.
    wait_until(1.0, lambda: unit.CurrentUpdates() != updates_before, pause=0.002)
    status = wait_until(seconds, lambda: unit.LastPayStatus() != QMX_PAY_UNDER_WAY)
    paid = difference(unit.CurrentPaid(), paid_before)
    if not status:
        raise Failed("the payout has not ended after %d s (%d of %d paid)"
                     % (seconds, paid, amount))
    status = unit.LastPayStatus()
    if status != QMX_PAY_COMPLETE:
        raise Failed("the payout failed with status %d after %d of %d" % (status, paid, amount))
    print("payout complete: paid %d" % paid)


def take_event(unit, seconds):
    details = QmxEventDetails()
    print("waiting up to %d s for an event" % seconds, flush=True)
    code = wait_until(seconds, lambda: unit.NextEvent(ctypes.byref(details)))
    if not code:
        raise Failed("no event within %d s" % seconds)
    print("event %d: data1 %d, data2 %d, flag %d"
          % (code, details.EventData1, details.EventData2, details.EventFlag))


def download_coins(unit, path, address):
    # Defloader keeps the pointer, not a copy: this buffer lives until the end.
    path_buffer = ctypes.create_string_buffer(os.fsencode(path))
    start = unit.StartDefinitionDownload(path_buffer, 0, address, DFL_KIND_SR5_COINS)
    if start != DFL_START_OK:
        raise Failed("the download did not start: %d" % start)
    print("downloading %s into the SR5 at address %d" % (path, address))
    stage, result, progress, total = (ctypes.c_short() for _ in range(4))
    shown = None
    end = time.monotonic() + DOWNLOAD_LIMIT_S
    while unit.DefinitionDownloadStatus(ctypes.byref(stage), ctypes.byref(result),
                                        ctypes.byref(progress), ctypes.byref(total)):
        if stage.value != shown:
            # Progress and total count past 32767 as unsigned 16-bit values.
            print("stage %d (%d of %d)" % (stage.value, progress.value & 0xFFFF,
                                           total.value & 0xFFFF), flush=True)
            shown = stage.value
        if time.monotonic() >= end:
            # A download cannot be cancelled: it goes on in the library.
            raise Failed("the download has not ended after %d s (stage %d)"
                         % (DOWNLOAD_LIMIT_S, stage.value))
        time.sleep(0.1)
    print("download result %d: %s (%d of %d)"
          % (result.value, DOWNLOAD_RESULTS.get(result.value, "no result"),
             progress.value & 0xFFFF, total.value & 0xFFFF))
    if result.value != DFL_RESULT_DONE:
        raise Failed("the download did not complete")


def run(arguments):
    try:
        unit = Unit(arguments.library_dir)
    except (OSError, AttributeError) as error:  # no library, or a call missing in it
        raise Failed("cannot load the libraries: %s" % error)
    serial = arguments.serial
    # Loading the library looked for the default block; this opens the unit's.
    opened = unit.OpenSpecificVODVersion(serial.encode(), INTERFACE_VERSION)
    if opened != QMX_OPEN_OK:
        raise Failed("unit %s did not open: %d (%s)"
                     % (serial, opened, OPEN_RESULTS.get(opened, "the PCI card's driver failed")))
    date, time_text = ctypes.create_string_buffer(17), ctypes.create_string_buffer(17)
    version = unit.FirmwareVersion(date, time_text) & 0xFFFFFFFF
    print("unit %s open: firmware %d.%d.%d (release type %d) compiled %s %s"
          % (serial, version >> 16 & 0xFF, version >> 8 & 0xFF, version & 0xFF, version >> 24,
             date.value.decode(errors="replace"), time_text.value.decode(errors="replace")))
    print("serial number %d, driver state %d, credit %d, paid %d"
          % (unit.SerialNumber(), unit.USBDriverStatus(), unit.CurrentValue(),
             unit.CurrentPaid()))
    if not unit_alive(unit):
        raise Failed("unit %s is not updating its interface" % serial)

    # A host that trades switches the interface on; the library switches it off
    # when the last host on the unit ends.
    unit.EnableInterface()
    address = find_sr5(unit)
    if address is None:
        raise Failed("unit %s has no SR5 coin acceptor" % serial)

    before = unit.CurrentValue()
    print("waiting up to %d s for a coin" % arguments.wait, flush=True)
    credit = wait_until(arguments.wait, lambda: max(difference(unit.CurrentValue(), before), 0))
    if not credit:
        raise Failed("no coin within %d s" % arguments.wait)
    print("coin: credit %d" % credit)
    pay(unit, credit)
    take_event(unit, arguments.wait)
    download_coins(unit, arguments.coin_file, address)
    print("done")


def main():
    parser = argparse.ArgumentParser(description="A host application over Qmxzelti and "
                                     "Defloader.")
    parser.add_argument("serial", help="the unit's serial number (1 to 11 characters)")
    parser.add_argument("coin_file", help="a coin definition file for the unit's SR5")
    parser.add_argument("--wait", type=int, default=30,
                        help="seconds to wait for a coin and for an event (default 30)")
    parser.add_argument("--library-dir", help="the folder of the libraries (default: the "
                        "system's library search)")
    arguments = parser.parse_args()  # exits with status 2 on a usage error
    if arguments.wait <= 0:
        parser.error("--wait takes a number of seconds of 1 or more")
    try:
        run(arguments)
    except Failed as failure:
        print("host_example.py: %s" % failure, file=sys.stderr)
        return 1
    sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())

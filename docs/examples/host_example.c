/* host_example.c: a small host application over Qmxzelti and Defloader.

   It opens the interface of one Tarvex unit (by its serial number), shows the
   unit's firmware and state, switches the interface on, waits for a coin and pays
   its value back out, takes one event, downloads a coin definition file into the
   unit's SR5 coin acceptor and follows that download to its end. Every call's
   result is checked, and every wait is bounded.

   usage: host_example SERIAL COIN_FILE [WAIT_SECONDS]

   Exit status: 0 all done; 1 a step failed (the message says which); 2 usage.

   Build (Linux, from the build tree; see docs/host-developers.md for an installed
   package and for Windows):
     cc -std=c99 -Wall host_example.c -I interface/include -I download/include \
        -L build/linux/bin -ldefloader -lqmxzelti -Wl,-rpath,build/linux/bin */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* nanosleep, clock_gettime */
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "defloader.h"
#include "qmxzelti.h"

#if defined(_WIN32)
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
static unsigned long long now_ms(void) { return GetTickCount64(); }
#else
#include <time.h>
static void pause_ms(int ms) {
  struct timespec t;
  t.tv_sec = ms / 1000;
  t.tv_nsec = (long)(ms % 1000) * 1000000L;
  nanosleep(&t, NULL);
}
static unsigned long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (unsigned long long)t.tv_sec * 1000u + (unsigned long long)(t.tv_nsec / 1000000L);
}
#endif

/* Defloader opens the interface itself with version 2, and the library keeps one
   version per process: a host that also downloads opens with the same one, so
   the acceptor records keep the layout it reads them in (QmxAcceptorDetails). */
#define INTERFACE_VERSION QMX_VERSION_2
#define SR5_UNIT_CODE 0x02020103
#define DOWNLOAD_LIMIT_MS 120000 /* a coin download takes 6 s and more */

static const char* open_result_text(int result) {
  switch (result) {
    case QMX_OPEN_OK: return "open";
    case QMX_ERROR_INVALID_DATA: return "interface version not accepted, or unknown block format";
    case QMX_ERROR_NOT_READY: return "the unit's driver is not ready";
    case QMX_ERROR_GEN_FAILURE: return "no such unit, or it does not accept a host now";
    case QMX_ERROR_INVALID_NAME: return "serial number longer than 11 characters";
    case QMX_ERROR_BUSY: return "the unit is being reprogrammed, or its driver is ending";
    case QMX_ERROR_DEVICE_NOT_CONNECTED: return "no unit connected to its driver";
    default: return "the PCI card's driver failed";
  }
}

static const char* download_result_text(int result) {
  switch (result) {
    case DFL_RESULT_DONE: return "download complete";
    case DFL_RESULT_NO_FILE: return "the file could not be opened, or is too large";
    case DFL_RESULT_BAD_FILE: return "the coin file's sizes disagree with its table";
    case DFL_RESULT_NO_INTERFACE: return "the interface could not be opened";
    case DFL_RESULT_NO_DEVICE: return "no acceptor of that model at that address";
    case DFL_RESULT_NO_RESPONSE: return "no response from the unit or the acceptor";
    case DFL_RESULT_SEND_FAILED: return "a transmission failed";
    default: return "no result";
  }
}

/* The unit rewrites its area many times a second: an update count that stands
   still for a second means a unit that has stopped. */
static int unit_alive(void) {
  const int before = CurrentUpdates();
  const unsigned long long end = now_ms() + 1000;
  while (now_ms() < end) {
    if (CurrentUpdates() != before) return 1;
    pause_ms(10);
  }
  return 0;
}

/* Lists the unit's acceptors; the ccTalk address of the first SR5, or -1. */
static int find_sr5(void) {
  /* About 7 KB: static rather than on the stack. */
  static QmxAcceptorDetails acceptor;
  int index, address = -1;
  /* The library bounds its walk of the unit's list; this bounds ours. */
  for (index = 0; index < 64 && ReadAcceptorDetails(index, &acceptor) == 1; ++index) {
    printf("acceptor %d: unit code 0x%08X at address %d, %d entries\n", index,
           (unsigned)acceptor.UnitCode, acceptor.Address, acceptor.CoinCount);
    if ((unsigned)acceptor.UnitCode == SR5_UNIT_CODE && address < 0) address = acceptor.Address;
  }
  return address;
}

/* Waits up to `seconds` for the credit to rise; the value it rose by, or 0. */
static int wait_for_coin(int seconds) {
  const int before = CurrentValue();
  const unsigned long long end = now_ms() + (unsigned long long)seconds * 1000u;
  printf("waiting up to %d s for a coin\n", seconds);
  fflush(stdout);
  while (now_ms() < end) {
    /* Totals are 32-bit words that wrap: the difference counts. */
    const int added = (int)((unsigned)CurrentValue() - (unsigned)before);
    if (added > 0) return added;
    pause_ms(20);
  }
  return 0;
}

/* Pays `amount` out and follows the payout to its end; 0 when it completed. */
static int pay(int amount, int seconds) {
  const int paid_before = CurrentPaid();
  const int updates_before = CurrentUpdates();
  unsigned long long end;
  int status, paid;
  /* One payout at a time: another one would be added to the running one. */
  if (LastPayStatus() == QMX_PAY_UNDER_WAY) {
    fprintf(stderr, "host_example: a payout is still running\n");
    return 1;
  }
  PayOut(amount);
  printf("paying %d\n", amount);
  fflush(stdout);
  /* Until the unit has taken the request up, the status still tells of the payout
     before; the unit answers by rewriting its area, so wait for that first. */
  end = now_ms() + 1000;
  while (CurrentUpdates() == updates_before && now_ms() < end) pause_ms(2);
  end = now_ms() + (unsigned long long)seconds * 1000u;
  for (;;) {
    status = LastPayStatus();
    paid = (int)((unsigned)CurrentPaid() - (unsigned)paid_before);
    if (status == QMX_PAY_COMPLETE) {
      printf("payout complete: paid %d\n", paid);
      return 0;
    }
    if (status != QMX_PAY_UNDER_WAY) {
      fprintf(stderr, "host_example: the payout failed with status %d after %d of %d\n", status,
              paid, amount);
      return 1;
    }
    if (now_ms() >= end) {
      fprintf(stderr, "host_example: the payout has not ended after %d s (%d of %d paid)\n",
              seconds, paid, amount);
      return 1;
    }
    pause_ms(20);
  }
}

/* Waits up to `seconds` for an event; 0 when one came. */
static int take_event(int seconds) {
  const unsigned long long end = now_ms() + (unsigned long long)seconds * 1000u;
  printf("waiting up to %d s for an event\n", seconds);
  fflush(stdout);
  while (now_ms() < end) {
    QmxEventDetails details;
    const int code = NextEvent(&details);
    if (code != 0) {
      printf("event %d: data1 %d, data2 %d, flag %d\n", code, details.EventData1,
             details.EventData2, details.EventFlag);
      return 0;
    }
    pause_ms(20);
  }
  fprintf(stderr, "host_example: no event within %d s\n", seconds);
  return 1;
}

/* Downloads `path` into the SR5 at `address` and follows it; 0 when it completed.
   Defloader keeps the pointer `path` until the download ends: here it is argv's. */
static int download_coins(const char* path, int address) {
  short stage = -1, result = 0, progress = 0, total = 0, shown = -1;
  unsigned long long end;
  const short start = StartDefinitionDownload(path, 0, address, DFL_KIND_SR5_COINS);
  if (start != DFL_START_OK) {
    fprintf(stderr, "host_example: the download did not start: %d\n", start);
    return 1;
  }
  printf("downloading %s into the SR5 at address %d\n", path, address);
  end = now_ms() + DOWNLOAD_LIMIT_MS;
  while (DefinitionDownloadStatus(&stage, &result, &progress, &total) != 0) {
    if (stage != shown) {
      printf("stage %d (%u of %u)\n", stage, (unsigned short)progress, (unsigned short)total);
      fflush(stdout);
      shown = stage;
    }
    if (now_ms() >= end) {
      /* A download cannot be cancelled: it goes on in the library. */
      fprintf(stderr, "host_example: the download has not ended after %d s (stage %d)\n",
              DOWNLOAD_LIMIT_MS / 1000, stage);
      return 1;
    }
    pause_ms(100);
  }
  printf("download result %d: %s (%u of %u)\n", result, download_result_text(result),
         (unsigned short)progress, (unsigned short)total);
  return result == DFL_RESULT_DONE ? 0 : 1;
}

int main(int argc, char** argv) {
  const char* serial;
  const char* coin_file;
  int wait_seconds = 30, open, version, address, credit;
  char date[17] = {0}, time_text[17] = {0};

  if (argc == 4) wait_seconds = atoi(argv[3]);
  if (argc < 3 || argc > 4 || wait_seconds <= 0) {
    fprintf(stderr, "usage: host_example SERIAL COIN_FILE [WAIT_SECONDS]\n");
    return 2;
  }
  serial = argv[1];
  coin_file = argv[2];

  /* Loading the library looked for the default block; this opens the unit's. */
  open = OpenSpecificVODVersion(serial, INTERFACE_VERSION);
  if (open != QMX_OPEN_OK) {
    fprintf(stderr, "host_example: unit %s did not open: %d (%s)\n", serial, open,
            open_result_text(open));
    return 1;
  }
  version = FirmwareVersion(date, time_text);
  printf("unit %s open: firmware %u.%u.%u (release type %u) compiled %s %s\n", serial,
         ((unsigned)version >> 16) & 0xFF, ((unsigned)version >> 8) & 0xFF,
         (unsigned)version & 0xFF, ((unsigned)version >> 24) & 0xFF, date, time_text);
  printf("serial number %d, driver state %d, credit %d, paid %d\n", SerialNumber(),
         USBDriverStatus(), CurrentValue(), CurrentPaid());
  if (!unit_alive()) {
    fprintf(stderr, "host_example: unit %s is not updating its interface\n", serial);
    return 1;
  }

  /* A host that trades switches the interface on; the library switches it off
     when the last host on the unit ends. */
  EnableInterface();

  address = find_sr5();
  if (address < 0) {
    fprintf(stderr, "host_example: unit %s has no SR5 coin acceptor\n", serial);
    return 1;
  }

  credit = wait_for_coin(wait_seconds);
  if (credit <= 0) {
    fprintf(stderr, "host_example: no coin within %d s\n", wait_seconds);
    return 1;
  }
  printf("coin: credit %d\n", credit);
  if (pay(credit, 60) != 0) return 1;
  if (take_event(wait_seconds) != 0) return 1;
  if (download_coins(coin_file, address) != 0) return 1;
  printf("done\n");
  return 0;
}

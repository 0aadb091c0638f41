/* defloader.h: definition downloads into the ccTalk acceptors behind a Tarvex unit
   (Defloader.dll, libdefloader.so): coin definitions into an SR5, bill tables into an
   Elite or a Lumina. Usable from C and C++. A download is started by one call, runs
   on the library's own thread and is watched by polling its status; it cannot be
   cancelled. The library reaches the unit through Qmxzelti. */
#ifndef DEFLOADER_H
#define DEFLOADER_H

/* The callee-cleans convention of the 32-bit Windows library; x64 and Linux have one
   convention only. The exports are named by the library's exports list: on 32-bit
   Windows "_StartDefinitionDownload@16" and so on, elsewhere the plain names. */
#if defined(_WIN32) && !defined(_WIN64)
#define DFL_CALL __stdcall
#else
#define DFL_CALL
#endif

#if defined(DEFLOADER_BUILD) && !defined(_WIN32)
#define DFL_API __attribute__((visibility("default")))
#elif defined(_WIN32) && !defined(DEFLOADER_BUILD)
#define DFL_API __declspec(dllimport)
#else
#define DFL_API /* the .def file names the Windows exports */
#endif

#if defined(__cplusplus)
#define DFL_NOEXCEPT noexcept
extern "C" {
#else
#define DFL_NOEXCEPT
#endif

/* Download kinds (StartDefinitionDownload's last argument, low 16 bits). */
#define DFL_KIND_SR5_COINS 0    /* a coin definition file into an SR5 coin acceptor */
#define DFL_KIND_ELITE_BILLS 1  /* a bill table into an Elite note acceptor */
#define DFL_KIND_LUMINA_BILLS 2 /* a bill table into a Lumina note acceptor */

/* What StartDefinitionDownload returns. */
#define DFL_START_OK 0        /* the download runs on its own thread */
#define DFL_START_NO_THREAD 1 /* its thread could not be created */
#define DFL_START_BAD_KIND 2  /* the kind is not one of the three; nothing started */
#define DFL_START_BUSY 3      /* a download still runs (status busy 1); nothing changed */

/* Result codes (DefinitionDownloadStatus). */
#define DFL_RESULT_DONE 0          /* ran to its end without a transmission error */
#define DFL_RESULT_NO_FILE 1       /* the file could not be opened or read whole, or a
                                      bill table is empty or too large; nothing sent */
#define DFL_RESULT_BAD_FILE 2      /* coin file sizes disagree with its table, or the
                                      file is past 131104 bytes; nothing sent */
#define DFL_RESULT_NO_INTERFACE 3  /* the interface could not be opened */
#define DFL_RESULT_NO_DEVICE 4     /* no acceptor of the model at that address */
#define DFL_RESULT_NO_RESPONSE 5   /* the bus was not handed over, or no poll answer */
#define DFL_RESULT_SEND_FAILED 6   /* the download began but a transmission failed */
#define DFL_RESULT_UNKNOWN_KIND 8  /* the latest start named an unknown kind */
#define DFL_RESULT_RUNNING 9       /* running, or nothing has finished yet */

/* Stages, in the order a download passes them (a kind skips those it lacks). */
#define DFL_STAGE_ACCEPTED 0
#define DFL_STAGE_LOADING 1
#define DFL_STAGE_OPENING 2
#define DFL_STAGE_ENABLING 3
#define DFL_STAGE_SEARCHING 4
#define DFL_STAGE_REQUESTING_BUS 5
#define DFL_STAGE_POLLING 6
#define DFL_STAGE_ERASING 7       /* SR5 only */
#define DFL_STAGE_BEGINNING 8     /* Elite and Lumina */
#define DFL_STAGE_CLEAR_UPLOAD 9  /* Lumina: its upload goes in clear */
#define DFL_STAGE_TRANSMITTING 10
#define DFL_STAGE_TRANSMITTED 11
#define DFL_STAGE_SETTLING 12
#define DFL_STAGE_RESETTING 13    /* SR5 and Lumina */
#define DFL_STAGE_RELEASING 14
#define DFL_STAGE_RELEASE_WAIT 15
#define DFL_STAGE_RETURNING 16
#define DFL_STAGE_FINISHED 17

/* Starts a download of the file at `path` into the acceptor at ccTalk `address` (as
   ReadAcceptorDetails reports it; low 16 bits). The library keeps the pointer, not a
   copy: the string must stay valid until the status reports busy 0. `reserved` is not
   read. Returns one of DFL_START_*. */
DFL_API short DFL_CALL StartDefinitionDownload(const char* path, int reserved, int address,
                                               int kind) DFL_NOEXCEPT;

/* Fills the stage, the result, the progress (coins: definition bytes sent / 128;
   bill tables: blocks sent) and the total (the file's size / 128) of the latest kind
   started, each the low 16 bits of its value (read progress and total as unsigned
   short past 32767), and returns 1 while the download runs, else 0. Never waits. */
DFL_API short DFL_CALL DefinitionDownloadStatus(short* stage, short* result, short* progress,
                                                short* total) DFL_NOEXCEPT;

/* Sets the encryption serial number: six BCD digits in the low 24 bits (0x490728 is
   the digits 4 9 0 7 2 8, the value at load). Takes effect with the next encrypted
   message, also in a download that runs. */
DFL_API void DFL_CALL SetEncryptionSerialNumber(int serial) DFL_NOEXCEPT;

#if defined(__cplusplus)
}
#endif

#endif /* DEFLOADER_H */

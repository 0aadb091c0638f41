/* A C host linked against Defloader (the import library on Windows): the header is
   C, its names are the ones the library exports, and the status before any download
   and after an unknown kind reads as the header says. */
#include <stdio.h>

#include "defloader.h"

int main(void) {
  short stage = -1, result = -1, progress = -1, total = -1;
  short busy = DefinitionDownloadStatus(&stage, &result, &progress, &total);
  printf("loaded: %d %d %d %d busy %d\n", stage, result, progress, total, busy);
  printf("kind 3: %d\n", StartDefinitionDownload("none", 0, 2, 3));
  busy = DefinitionDownloadStatus(&stage, &result, &progress, &total);
  printf("after: %d %d %d %d busy %d\n", stage, result, progress, total, busy);
  SetEncryptionSerialNumber(0x490728);
  return 0;
}

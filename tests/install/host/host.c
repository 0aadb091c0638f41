/* A host application built against the installed package, one export of each
   library called with no unit behind them. */
#include <stdio.h>

#include "defloader.h"
#include "qmxzelti.h"

int main(void) {
  short stage = -1, result = -1, progress = -1, total = -1;
  short busy;
  printf("open: %d\n", OpenSpecificVODVersion("NOUNIT", QMX_VERSION_5));
  busy = DefinitionDownloadStatus(&stage, &result, &progress, &total);
  printf("download: busy %d result %d\n", busy, result);
  return 0;
}

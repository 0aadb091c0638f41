/* A host as MSVC builds it (clang for i686-pc-windows-msvc, lld-link, the default
   /SAFESEH), linked against Qmxzelti.lib and Defloader.lib and run against the DLLs.
   No C runtime: the exit code says what went wrong. */
#include "defloader.h"
#include "qmxzelti.h"

int main(void) {
  short stage = -1, result = -1, progress = -1, total = -1;
  if (OpenSpecificVODVersion("NOUNIT", QMX_VERSION_5) != QMX_ERROR_GEN_FAILURE) return 1;
  if (DefinitionDownloadStatus(&stage, &result, &progress, &total) != 0) return 2;
  if (result != DFL_RESULT_RUNNING) return 3;
  return 0;
}

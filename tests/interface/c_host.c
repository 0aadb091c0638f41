/* A host application in C, linked against the library the ordinary way (the import
   library on Windows): the public header compiles as C and its names link. */
#include <stdio.h>

#include "qmxzelti.h"

int main(void) {
  /* OpenVOD asks for a version no unit accepts: 13, with or without a unit. */
  printf("OpenVOD: %d\n", OpenVOD());
  return 0;
}

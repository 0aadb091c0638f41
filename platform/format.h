// printf-style format checking for our own variadic functions, on both compilers
// (MinGW's libstdc++ selects the C99 printf, which GCC calls gnu_printf).
#pragma once

#if defined(__clang__)
#define TARVEX_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#elif defined(__GNUC__)
#define TARVEX_PRINTF(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define TARVEX_PRINTF(format_index, first_arg)
#endif

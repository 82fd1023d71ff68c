#pragma once

/* Marks the classes and C functions that hosts link against. Everything else
   is hidden (-fvisibility=hidden) so the binary interface stays exactly these.
   Included by the C interface too, so it stays plain C89. */
#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(VELMOR_BUILDING_LIBRARY)
#    define VELMOR_EXPORT __declspec(dllexport)
#  else
#    define VELMOR_EXPORT __declspec(dllimport)
#  endif
#else
#  define VELMOR_EXPORT __attribute__((visibility("default")))
#endif

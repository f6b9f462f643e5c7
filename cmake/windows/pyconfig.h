/* The configuration of CPython 3.10 and later as python.org builds it for
   64-bit Windows (the win_amd64 platform, release build, with the GIL), for
   compiling an extension module against the interpreter's own headers with
   MinGW-w64 instead of MSVC. The build copies the headers and puts this file
   in place of their pyconfig.h, since Python.h includes the one beside it
   first. It holds only the facts that decide what the headers declare and
   how big their types are; the interpreter's own build settings are not
   needed outside it. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__x86_64__)
#error "this pyconfig.h describes CPython on 64-bit x86 Windows only"
#endif

/* Platform: the Win32 API (named so on 64-bit Windows as well), 64-bit. */
#define MS_WINDOWS 1 /* Windows-only fields of PyConfig, PyErr_SetFromWindowsErr* */
#define MS_WIN32 1
#define MS_WIN64 1
#define NT_THREADS 1 /* native threads: a TSS key is a DWORD (Py_tss_t) */
#define WITH_THREAD 1

/* The interpreter lives in python3XX.dll: the API is imported with
   __declspec(dllimport) and PyInit_* is exported with __declspec(dllexport). */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL 1

/* LLP64 data model: long stays 32 bits, pointers and size_t are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_TIME_T 8 /* the C runtime's default 64-bit time_t */
#define SIZEOF_WCHAR_T 2 /* UTF-16 code units, as the Win32 API uses */
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_WCHAR_H 1

/* int objects store 30-bit digits in 32-bit words on 64-bit Windows. */
#define PYLONG_BITS_IN_DIGIT 30

/* IEEE 754 doubles, little-endian (WORDS_BIGENDIAN stays undefined). */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1

/* Headers of the C runtime that the interpreter's headers may include, and
   math functions it has (3.10's pymath.h declares them otherwise). */
#define HAVE_ERRNO_H 1
#define HAVE_STDDEF_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_COPYSIGN 1
#define HAVE_ROUND 1
#define HAVE_HYPOT 1

/* The release build: pymalloc, docstrings; no Py_DEBUG (that is the
   python3XX_d.dll build, whose objects are laid out differently). */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* !Py_CONFIG_H */

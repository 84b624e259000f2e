// Which interpreter the modules are built for, and which shortcuts into its
// internals they take. This is the only file of module/, msgmodule/ and
// pyfast/ that looks at the interpreter's version; every other file tests the
// flags below.
//
// pyfast/ is the room of the interpreter shortcuts and their switch, shared
// by both modules (KXdv17_0 and KXMsgv17_0): kxconfig.h (the switch),
// kxcompat.h (the two APIs), kxfast.h and kxfast.cpp (the shortcuts). It
// may touch the interpreter's own structures; it never reads or writes a
// message (no kx_msg_*), never names one and knows nothing of the module
// that includes it.
//
// Supported: Python 2.7 and CPython 3.8 to 3.13. A newer version, or a build
// without the global lock (Py_GIL_DISABLED), takes the generic paths only.
//
// A shortcut does what a public entry point does, reading or writing the
// interpreter's structures itself (see kxfast.h, where each one sits beside
// its generic twin). Each has a flag that is 1 where it is taken; a flag may
// be set on the command line (-DKX_FAST_REFILL=0), and -DKX_GENERIC=1 sets
// every flag not given there to 0.
#ifndef KX_PYFAST_KXCONFIG_H
#define KX_PYFAST_KXCONFIG_H

#include <Python.h>

// ---- the two APIs ----------------------------------------------------------------

// Text and integers differ between Python 2.7 and Python 3 (kxcompat.h).
#if PY_MAJOR_VERSION >= 3
#define KX_PY3 1
#else
#define KX_PY3 0
#endif

#if KX_PY3 && PY_VERSION_HEX < 0x03080000
#error "Python 3 builds need 3.8 or later"
#endif

// Python 2.7 and 3.8 lack the setters of an object's header fields.
#if !KX_PY3 || PY_VERSION_HEX < 0x030900A4
#ifndef Py_SET_SIZE
#define Py_SET_SIZE(o, size) ((void)(Py_SIZE(o) = (size)))
#endif
#ifndef Py_SET_TYPE
#define Py_SET_TYPE(o, type) ((void)(Py_TYPE(o) = (type)))
#endif
#ifndef Py_SET_REFCNT
#define Py_SET_REFCNT(o, refcnt) ((void)(Py_REFCNT(o) = (refcnt)))
#endif
#endif

// A call with the arguments in a C array (3.8 names it with an underscore).
#if KX_PY3 && PY_VERSION_HEX >= 0x03090000
#define KX_VECTORCALL 1
#define kx_vectorcall PyObject_Vectorcall
#elif KX_PY3
#define KX_VECTORCALL 1
#define kx_vectorcall _PyObject_Vectorcall
#else
#define KX_VECTORCALL 0
#endif

// The optional attribute read: an absent attribute gives 0 without an
// exception (3.13 names it; 3.8 to 3.12 have it with an underscore).
#if KX_PY3 && PY_VERSION_HEX >= 0x030D0000
#define kx_optional_attr PyObject_GetOptionalAttr
#elif KX_PY3
#define kx_optional_attr _PyObject_LookupAttr
#endif

// ---- the interpreter the shortcuts were written for ---------------------------------

// 2: Python 2.7; 308..311: that Python 3 (whose layouts the shortcuts know);
// 0: any other, and every build without the global lock.
#if !KX_PY3
#define KX_PY_LAYOUT 2
#elif defined(Py_GIL_DISABLED)
#define KX_PY_LAYOUT 0
#elif PY_VERSION_HEX >= 0x030E0000
#define KX_PY_LAYOUT 0
#elif PY_VERSION_HEX >= 0x030D0000
#define KX_PY_LAYOUT 313
#elif PY_VERSION_HEX >= 0x030C0000
#define KX_PY_LAYOUT 312
#elif PY_VERSION_HEX >= 0x030B0000
#define KX_PY_LAYOUT 311
#elif PY_VERSION_HEX >= 0x030A0000
#define KX_PY_LAYOUT 310
#elif PY_VERSION_HEX >= 0x03090000
#define KX_PY_LAYOUT 309
#else
#define KX_PY_LAYOUT 308
#endif

// Longs of 30-bit digits, the digit count (negated for a negative value) in
// ob_size: 2.7 and Python 3 up to 3.11.
#if (KX_PY_LAYOUT == 2 || (KX_PY_LAYOUT >= 308 && KX_PY_LAYOUT <= 311)) && PYLONG_BITS_IN_DIGIT == 30
#define KX_LONG_DIGITS_IN_SIZE 1
#else
#define KX_LONG_DIGITS_IN_SIZE 0
#endif

#if defined(KX_GENERIC) && KX_GENERIC
#define KX_SHORTCUT(where) 0
#else
#define KX_SHORTCUT(where) (where)
#endif

// ---- the shortcuts --------------------------------------------------------------------
//
// Only those that paid for themselves on the benchmark they target are here
// (README.md, "Interpreter shortcuts").

// A number or pair of numbers that only an attribute holds is written over
// with the new value instead of being replaced.
#ifndef KX_FAST_REFILL
#define KX_FAST_REFILL KX_SHORTCUT(KX_LONG_DIGITS_IN_SIZE)
#endif

// 2.7: longs made inline.
#ifndef KX_FAST_INTS
#define KX_FAST_INTS KX_SHORTCUT(KX_PY_LAYOUT == 2 && KX_LONG_DIGITS_IN_SIZE)
#endif

// 3.11: an instance's attribute values read from the array its class's
// shared keys index (for refilling).
#ifndef KX_FAST_INSTANCE_VALUES
#define KX_FAST_INSTANCE_VALUES KX_SHORTCUT(KX_PY_LAYOUT == 311)
#endif

// 3.11: a store of an attribute the class's shared keys already index, into
// a plain instance just made that holds its values in the array those keys
// index, written into that array.
#ifndef KX_FAST_INSTANCE_STORE
#define KX_FAST_INSTANCE_STORE KX_SHORTCUT(KX_PY_LAYOUT == 311)
#endif

// Module global and built-in lookups answered from the last one while the
// namespace's dict version tag is unchanged (3.8 to 3.11).
#ifndef KX_FAST_LOOKUP
#define KX_FAST_LOOKUP KX_SHORTCUT(KX_PY_LAYOUT >= 308 && KX_PY_LAYOUT <= 311)
#endif

// 2.7: stores of str keys into a dict of str keys done in its table, and
// attribute stores that go to the instance dict done there directly.
#ifndef KX_FAST_DICT_STORE
#define KX_FAST_DICT_STORE KX_SHORTCUT(KX_PY_LAYOUT == 2)
#endif

// 2.7: Python functions, bound methods and plain classes called without an
// argument tuple (Python 3 has vectorcall).
#ifndef KX_FAST_CALLS
#define KX_FAST_CALLS KX_SHORTCUT(KX_PY_LAYOUT == 2)
#endif

// 3.8 to 3.13: a dict that is to take a known number of items made with
// room for all of them (the interpreter's private presized constructor), so
// that filling it never grows its table.
#ifndef KX_FAST_PRESIZED_DICT
#define KX_FAST_PRESIZED_DICT KX_SHORTCUT(KX_PY_LAYOUT >= 308 && KX_PY_LAYOUT <= 313)
#endif

// A type's "has no attribute of that name" remembered (refilling, 2.7
// direct stores).
#define KX_ABSENT_MEMO (KX_FAST_REFILL || KX_FAST_DICT_STORE || KX_FAST_INSTANCE_STORE)

// A name's index in a class's shared keys remembered (3.11's instance values).
#define KX_SHARED_KEYS_INDEX (KX_FAST_INSTANCE_VALUES || KX_FAST_INSTANCE_STORE)

// The layouts the shortcuts read: a long's digits (3.11's Python.h includes
// them), 3.11's shared dict keys.
#if (KX_FAST_REFILL || KX_FAST_INTS) && KX_PY_LAYOUT != 311
#include <longintrepr.h>
#endif
#if KX_SHARED_KEYS_INDEX
#define Py_BUILD_CORE 1
#include <internal/pycore_dict.h>
#undef Py_BUILD_CORE
#endif

#if (KX_FAST_REFILL || KX_FAST_INTS) && !KX_LONG_DIGITS_IN_SIZE
#error "KX_FAST_REFILL and KX_FAST_INTS need longs of 30-bit digits counted in ob_size"
#endif
#if KX_FAST_INTS && KX_PY_LAYOUT != 2
#error "KX_FAST_INTS knows 2.7's longs only"
#endif
#if KX_SHARED_KEYS_INDEX && KX_PY_LAYOUT != 311
#error "KX_FAST_INSTANCE_VALUES and KX_FAST_INSTANCE_STORE know 3.11's layout only"
#endif
#if KX_FAST_DICT_STORE && KX_PY_LAYOUT != 2
#error "KX_FAST_DICT_STORE knows 2.7's dict only"
#endif
#if KX_FAST_LOOKUP && !(KX_PY_LAYOUT >= 308 && KX_PY_LAYOUT <= 311)
#error "KX_FAST_LOOKUP knows the dict version tags of 3.8 to 3.11"
#endif
#if KX_FAST_CALLS && KX_PY_LAYOUT != 2
#error "KX_FAST_CALLS knows 2.7's calls only"
#endif

#endif

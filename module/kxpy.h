// The helper layer every KXdv17_0 function is written with, in rooms of its
// own; a handler file includes this one header for all of them:
//   kxsite     where a failure stands and how it unwinds (Site, kx::Error, fail)
//   kxref      owned references (Ref), names made at import (Name), module state
//   kxerrors   tracebacks and the exceptions the module raises
//   kxops      Python operations that throw on failure
//   kxreader   the wire Reader, a handler's message argument
//   kxaddr     address text
//   kxkind     the kinds of wire fields, read and written (Kind, Field)
//   kxrows     the field-table engine
//   kxlayout   reading field tables: the entry points
//   kxrequest  the request writer
//   kxentry    function entries (KX_FUNCTION) and method tables
// and the interpreter shortcuts in ../pyfast/.
//
// A module function is declared with KX_FUNCTION(name, "kw1", "kw2", ...) and
// its body reads its fields through a Reader or fills a Request. Only the
// reader and the request writer call the support library's kx_msg_*; the
// helper layer never names a message: the handler files beside it do.
#ifndef KX_MODULE_KXPY_H
#define KX_MODULE_KXPY_H

#include "kxsite.h"
#include "kxref.h"
#include "kxerrors.h"
#include "kxops.h"
#include "kxreader.h"
#include "kxaddr.h"
#include "kxkind.h"
#include "kxrows.h"
#include "kxrecords.h"
#include "kxlayout.h"
#include "kxrequest.h"
#include "kxentry.h"

// ---- handler shorthands -------------------------------------------------------------

// A handler NAME(m) whose message is one value: that of TABLE, a table of
// one row.
#define KX_VALUE_HANDLER(NAME, TABLE) \
  KX_FUNCTION(NAME, "m") {            \
    kx::Reader r(arg[0]);             \
    return kx::read_value(r, TABLE);  \
  }                                   \
  static_assert(true, "")

// A request builder NAME(io) that sends the empty request REQUEST (its name
// in the protocol definition).
#define KX_EMPTY_REQUEST(NAME, REQUEST)                                          \
  static_assert(kxp::layout_size(kxp::kRequest_##REQUEST) == 0, "an empty request"); \
  KX_FUNCTION(NAME, "io") {                                                      \
    kx::Request q(kxp::CLI_##REQUEST);                                           \
    q.send(arg[0]);                                                              \
    return kx::py_none();                                                        \
  }                                                                              \
  static_assert(true, "")

#endif

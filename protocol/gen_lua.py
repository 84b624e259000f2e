"""Writes the Lua dissector kx.lua from the protocol's generated facts
(kxtools/_protocol.py): message numbers and names, every request's layout
and every server message's record, so the dissector cannot drift from the
protocol definition.

    python3 protocol/gen_lua.py [OUT]      (default: kxtools/kx.lua)
    python3 protocol/gen_lua.py --check    exits 1 when kxtools/kx.lua is stale

Each message's rows become a Lua table that one walk in the dissector reads,
the same walk kxdissect makes (kxtools/dissect.py): the field names are
kx.<message>.<field>, kx.<message>.<list>.<field>, <list>.count,
<pair>.first and <pair>.second, <address>_ipv6."""
from __future__ import print_function

import os
import runpy
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, TOP)
from kxtools.messages import camel, field_name, record_rows  # noqa: E402  (one spelling with kxdissect)
sys.path.pop(0)
PROTOCOL = os.path.join(TOP, 'kxtools', '_protocol.py')
DEFAULT_OUT = os.path.join(TOP, 'kxtools', 'kx.lua')
DEFAULT_PORT = 7830

# Wire kind -> ProtoField constructor; integers take a base (and a value string).
FIELD_TYPES = {
    'u8': 'uint8', 'u16': 'uint16', 'u32': 'uint32', 'u64': 'uint64', 's16': 'int16', 's32': 'int32',
    's64': 'int64', 'bps': 'uint32', 'boolean': 'uint8', 'family': 'uint8', 'string': 'string', 'blob': 'bytes',
    'blob16': 'bytes', 'ip4': 'ipv4', 'ipaddr': 'ipv4', 'addr': 'ipv4', 'ip6': 'ipv6', 'ipaddrplen': 'string',
    'filter_value': 'string', 'field_value': 'string', 'opaque': 'bytes',
}
INTEGERS = ('uint8', 'uint16', 'uint32', 'uint64', 'int16', 'int32', 'int64')
# The value table of a kind that always has one.
KIND_VALUES = {'family': 'ADDR_FAMILY'}


def lua_str(text):
    return '"%s"' % text.replace('\\', '\\\\').replace('"', '\\"')


def bits_of(mask):
    """The single bits of a mask, ascending."""
    return [1 << i for i in range(64) if mask >> i & 1]


class Gen(object):

    def __init__(self, facts):
        self.facts = facts
        self.fields = []        # (filter name, label, kind, value table)
        self.index = {}         # (filter name, kind) -> Lua expression
        self.tables = []        # the Lua text of the row tables that cases, groups and bits choose
        self.table_index = {}   # their text -> Lua expression

    def shared(self, prefix, rows):
        """The Lua expression of a row table that a case, a group or a bit
        chooses: each distinct one written once (a view row's data groups
        serve both the rows added and the rows updated)."""
        text = self.rows(prefix, rows, 0)
        if text not in self.table_index:
            self.tables.append(text)
            self.table_index[text] = 'R[%d]' % len(self.tables)
        return self.table_index[text]

    def field(self, name, kind, values=None):
        """The Lua expression of the ProtoField of a filter name and kind."""
        key = (name, FIELD_TYPES[kind])
        if key not in self.index:
            self.fields.append((name, name.rsplit('.', 1)[1], kind, values or KIND_VALUES.get(kind)))
            self.index[key] = 'F[%d]' % len(self.fields)
        return self.index[key]

    def scalar(self, prefix, row, name=None):
        """The Lua table entries of one value's kind and fields."""
        full = '%s.%s' % (prefix, field_name(name or row['name']))
        kind = row['kind']
        out = ['kind = %s' % lua_str(kind), 'field = %s' % self.field(full, kind, row.get('values'))]
        if kind in ('ipaddr', 'addr'):
            out.append('field6 = %s' % self.field(full + '_ipv6', 'ip6'))
        table = self.facts['VALUE_TABLES'].get(row.get('values'))
        if table and table['flags']:
            out.append('flags = FLAGS_%s' % row['values'])
        return out

    def rows(self, prefix, rows, depth):
        """The Lua table of a list of record rows."""
        pad = '  ' * depth
        out = ['{']
        for row in rows:
            kind, entries = row['row'], []
            if kind == 'field':
                entries = self.scalar(prefix, row)
            elif kind == 'skip':
                entries = self.scalar(prefix, row) + ['rep = %d' % row['repeat']]
                if 'since' in row:
                    entries.append('since = %d' % row['since'][1])
                if row.get('flagged'):
                    entries.append('flagged = true')
            elif kind in ('pair', 'woven'):
                names = [row['name']] + ([row['other']] if kind == 'woven' else [])
                order = [(n, part) for part in ('first', 'second') for n in names]
                entries = ['kind = %s' % lua_str(row['kind']),
                           'parts = { %s }' % ', '.join(self.field('%s.%s.%s' % (prefix, field_name(n), part),
                                                                   row['kind'])
                                                       for n, part in order)]
            elif kind == 'absent':
                continue        # nothing on the wire
            elif kind == 'list':
                full = '%s.%s' % (prefix, field_name(row['name']))
                entries = ['count = %s' % lua_str(row['count'])]
                if row['count'] not in ('rest', 'from'):
                    entries.append('count_field = %s' % self.field(full + '.count', row['count']))
                if row['count'] == 'from':
                    entries.append('source = { %d, %s }' % (row['source'][0], lua_str(row['source'][1])))
                if 'items' in row:
                    entries.append('rows = %s' % self.rows(full, row['items'], depth + 1))
                else:
                    entries += self.scalar(prefix, row)
            elif kind == 'switch':
                cases = ['[%d] = %s' % (v, self.shared(prefix, r)) for v, r in row['cases']]
                entries = ['cases = {\n%s    %s\n%s  }' % (pad, (',\n%s    ' % pad).join(cases), pad)]
                if row['default'] is not None:
                    entries.append('default = %s' % self.shared(prefix, row['default']))
            elif kind == 'when':
                entries = ['bits = { %s }' % ', '.join(map(str, bits_of(row['bit']))),
                           'rows = %s' % self.shared(prefix, row['rows'])]
            elif kind == 'groups':
                groups = ['{ bits = { %s }, rows = %s }' % (', '.join(map(str, bits_of(bits))), self.shared(prefix, r))
                          for _, bits, r in row['groups']]
                entries = ['groups = {\n%s    %s\n%s  }' % (pad, (',\n%s    ' % pad).join(groups), pad)]
                if row['field'] is None:
                    entries.append('mask = %d' % row['mask'])
            elif kind == 'opaque':
                entries = ['field = %s' % self.field('%s.%s' % (prefix, field_name(row['name'])), 'opaque')]
            if 'field' in row and kind in ('switch', 'when', 'groups') and row['field'] is not None:
                entries.insert(0, 'on = %s' % lua_str(row['field']))
            if kind in ('field', 'skip', 'list'):
                entries.insert(0, 'name = %s' % lua_str(row['name']))
            out.append('%s  { row = %s, %s },' % (pad, lua_str(kind), ', '.join(entries)))
        out.append(pad + '}')
        return '\n'.join(out)

    def lua(self):
        f = self.facts
        requests = []
        for number in sorted(f['REQUESTS']):
            builder, rows = f['REQUESTS'][number]
            request_name = f['CLIENT_MESSAGES'][number][0]
            requests.append('  [%d] = { name = %s, request = %s, rows = %s },'
                            % (number, lua_str(builder), lua_str(request_name),
                               self.rows('kx.' + builder, record_rows(rows), 1)))
        server = []
        for number in sorted(f['SERVER_RECORDS']):
            name, rows = f['SERVER_RECORDS'][number]
            server.append('  [%d] = { name = %s, rows = %s },' % (number, lua_str(f['SERVER_MESSAGES'][number]),
                                                                   self.rows('kx.' + camel(name), rows, 1)))
        numbers = dict((name, n) for n, name in f['SERVER_MESSAGES'].items())
        tables = []
        for name in sorted(f['VALUE_TABLES']):
            table = f['VALUE_TABLES'][name]
            entries = ', '.join('[%d] = %s' % (v, lua_str(n)) for v, n in table['values'])
            tables.append('local %s_%s = { %s }' % ('FLAGS' if table['flags'] else 'VALUES', name, entries))
        decls = []
        for name, label, kind, values in self.fields:
            ctor = FIELD_TYPES[kind]
            extra = ''
            if ctor in INTEGERS:
                table = f['VALUE_TABLES'].get(values)
                enum = table and not table['flags']
                extra = ', base.DEC' + (', VALUES_%s' % values if enum else '')
            decls.append('F[%d] = ProtoField.%s(%s, %s%s)' % (len(decls) + 1, ctor, lua_str(name), lua_str(label),
                                                               extra))
        kinds = lambda table: ', '.join('[%d] = %s' % (n, lua_str(k)) for n, k in sorted(table.items()))
        shared = '\n'.join('R[%d] = %s' % (i + 1, text) for i, text in enumerate(self.tables))
        return TEMPLATE % dict(server='\n'.join(server), shared=shared, requests='\n'.join(requests),
                               tables='\n'.join(tables),
                               decls='\n'.join(decls), filter_kinds=kinds(f['FILTER_VALUE_KINDS']),
                               field_kinds=kinds(f['FIELD_VALUE_KINDS']), port=DEFAULT_PORT,
                               caps=numbers['PROTOCOL_SERVER_VIEW_CAPS'],
                               version_msg=numbers['PROTOCOL_SERVER_VERSION'],
                               version=dict(f['CONSTANTS'])['PROTOCOL_VERSION'], header=f['FRAME']['HEADER'])


TEMPLATE = r'''-- Dissector of the appliance daemon's management protocol (generation %(version)d).
-- Generated by protocol/gen_lua.py from kxtools/_protocol.py: do not edit.
--
-- Frames: u32 type, u16 length, payload. Dissects TCP sessions on the
-- daemon's port (preference "kx.tcp_port") with frames reassembled across
-- segments, and kxtap's pcapng captures (link type USER0). Every request
-- and every server message is shown field by field, by the rows of its
-- record in the protocol definition.
--   tshark -X lua_script:kx.lua -r session.pcapng -Y 'kx.hostUpdate.hosts.hostid == 7'

local kx = Proto("kx", "KX management protocol")

-- Value tables: enumerations (VALUES_) and flag words (FLAGS_).
%(tables)s

-- Every record field, by filter name.
local F = {}
%(decls)s

-- The row tables that cases, groups and bits choose.
local R = {}
%(shared)s

-- Server messages and requests: names and record rows.
local SERVER = {
%(server)s
}

local REQUESTS = {
%(requests)s
}

-- Kinds that the view capabilities decide: their list, its items' id key,
-- the id's key in the record read, the kind of each type.
local DEPENDENT = {
  filter_value = { "filters", "filter", "filter", { %(filter_kinds)s } },
  field_value = { "fields", "field", "id", { %(field_kinds)s } },
}
local HEADER = %(header)d     -- u32 type, u16 length
local VIEW_CAPS = %(caps)d
local VERSION = %(version_msg)d
local DEFAULT_VERSION = %(version)d

local f_type = ProtoField.uint32("kx.type", "Type", base.HEX)
local f_length = ProtoField.uint16("kx.length", "Length", base.DEC)
local f_name = ProtoField.string("kx.name", "Message")
local f_request = ProtoField.string("kx.request", "Request")
local f_direction = ProtoField.string("kx.direction", "Direction")
local f_item = ProtoField.uint32("kx.item", "Item", base.DEC)
local fields = { f_type, f_length, f_name, f_request, f_direction, f_item }
for _, f in ipairs(F) do fields[#fields + 1] = f end
kx.fields = fields

local e_short = ProtoExpert.new("kx.short", "Record ends short", expert.group.MALFORMED, expert.severity.ERROR)
local e_left = ProtoExpert.new("kx.left_over", "Bytes left over", expert.group.MALFORMED, expert.severity.WARN)
local e_frame = ProtoExpert.new("kx.partial", "Not a whole frame", expert.group.MALFORMED, expert.severity.ERROR)
local e_value = ProtoExpert.new("kx.bad_value", "Value out of range", expert.group.MALFORMED, expert.severity.ERROR)
local e_unknown = ProtoExpert.new("kx.unknown", "Message type unknown", expert.group.UNDECODED, expert.severity.NOTE)
kx.experts = { e_short, e_left, e_frame, e_value, e_unknown }

kx.prefs.tcp_port = Pref.uint("TCP port", %(port)d, "The daemon's TCP port")

-- Message number -> the record of the last such message read (the view
-- capabilities, the channel description, the version).
local last = {}

local Short = {}      -- raised when a field runs past the payload
local Bad = {}        -- raised after a value out of range is marked

local function need(tvb, off, n)
  if off + n > tvb:len() then error(Short) end
end

local WIDTH = { u8 = 1, u16 = 2, u32 = 4, u64 = 8, s16 = 2, s32 = 4, s64 = 8, bps = 4, boolean = 1, family = 1 }
local SIGNED = { s16 = true, s32 = true, s64 = true }
local COUNT_WIDTH = { blob = "u32", blob16 = "u16" }

-- The number of kind at off (a UInt64 or Int64 for 8 bytes) and its width.
local function number(tvb, off, kind)
  local n = WIDTH[kind]
  need(tvb, off, n)
  local r = tvb(off, n)
  if n == 8 then
    if SIGNED[kind] then return r:int64(), n end
    return r:uint64(), n
  end
  if SIGNED[kind] then return r:int(), n end
  return r:uint(), n
end

-- A number for bit tests: flag words fit in 32 bits, 64-bit ones in their lower half.
local function plain(v)
  if type(v) == "number" then return v end
  return v:lower()
end

local function any_bit(v, bits)
  v = plain(v or 0)
  for _, bit in ipairs(bits) do
    if math.floor(v / bit) %% 2 == 1 then return true end
  end
  return false
end

local function flag_text(v, flags)
  local names = {}
  v = plain(v)
  for bit, name in pairs(flags) do
    if math.floor(v / bit) %% 2 == 1 then names[#names + 1] = name end
  end
  table.sort(names)
  return table.concat(names, ", ")
end

local function ipv6_text(bytes)
  local groups, best, best_len, run, run_len = {}, nil, 1, nil, 0
  for i = 0, 7 do
    local g = bytes:get_index(2 * i) * 256 + bytes:get_index(2 * i + 1)
    groups[i + 1] = string.format("%%x", g)
    if g == 0 then
      if run == nil then run, run_len = i + 1, 0 end
      run_len = run_len + 1
      if run_len > best_len then best, best_len = run, run_len end
    else
      run = nil
    end
  end
  if best == nil then return table.concat(groups, ":") end
  local head = table.concat(groups, ":", 1, best - 1)
  local tail = table.concat(groups, ":", best + best_len, 8)
  return head .. "::" .. tail
end

-- s when it is UTF-8; else s with each byte from 0x80 up as \\xNN (as kxdissect shows it).
local function utf8_text(s)
  local i, n = 1, #s
  while i <= n do
    local c = s:byte(i)
    local k = c < 0x80 and 0 or (c >= 0xc2 and c < 0xe0) and 1 or (c >= 0xe0 and c < 0xf0) and 2 or
              (c >= 0xf0 and c < 0xf5) and 3 or nil
    local lo, hi = 0x80, 0xbf   -- the second byte's range: no overlong forms, surrogates or beyond U+10FFFF
    if c == 0xe0 then lo = 0xa0 elseif c == 0xed then hi = 0x9f elseif c == 0xf0 then lo = 0x90
    elseif c == 0xf4 then hi = 0x8f end
    local ok = k ~= nil and i + k <= n
    for j = i + 1, ok and i + k or 0 do
      local d = s:byte(j)
      if d < (j == i + 1 and lo or 0x80) or d > (j == i + 1 and hi or 0xbf) then ok = false end
    end
    if not ok then
      return (string.gsub(s, "[\128-\255]", function(b) return string.format("\\x%%02x", b:byte()) end))
    end
    i = i + k + 1
  end
  return s
end

local function ipv4_text(bytes, n)
  local q = {}
  for i = 0, 3 do q[i + 1] = i < n and bytes:get_index(i) or 0 end
  return table.concat(q, ".")
end

-- The kind a view filter's or field's value has, from the capabilities read last.
local function dependent(kind, rec, tree)
  local d = DEPENDENT[kind]
  local caps, type_ = last[VIEW_CAPS], nil
  for _, item in ipairs(caps and caps[d[1]] or {}) do
    if item[d[2]] == rec[d[3]] then type_ = item.type end
  end
  local resolved = type_ and d[4][type_]
  if resolved == nil then
    tree:add_proto_expert_info(e_value, string.sub(d[1], 1, -2) .. " " .. tostring(rec[d[3]]) ..
                               " is not among the view capabilities seen")
    error(Bad)
  end
  return resolved
end

-- Adds one value at off; returns its width and its value. row: its kind and
-- fields; ctx: the address family last read, the protocol version.
-- as_text: the value shown as text, whatever its kind (a view filter's or
-- field's value).
local function value(tvb, off, tree, row, rec, ctx, kind, field, as_text)
  kind, field = kind or row.kind, field or row.field
  if DEPENDENT[kind] then kind, as_text = dependent(kind, rec, tree), true end
  if WIDTH[kind] then
    local v, n = number(tvb, off, kind)
    local item
    if as_text then item = tree:add(field, tvb(off, n), tostring(v)) else item = tree:add(field, tvb(off, n)) end
    if row.flags then item:append_text(" (" .. flag_text(v, row.flags) .. ")") end
    if kind == "family" then ctx.family = v end
    return n, v
  elseif kind == "string" then
    local len = number(tvb, off, "u32")
    need(tvb, off + 4, len)
    local text = len > 0 and tvb(off + 4, len):raw() or ""
    local zero = string.find(text, "\0", 1, true)
    if zero then text = string.sub(text, 1, zero - 1) end
    tree:add(field, tvb(off, 4 + len), utf8_text(text))
    return 4 + len, text
  elseif COUNT_WIDTH[kind] then
    local len, w = number(tvb, off, COUNT_WIDTH[kind])
    need(tvb, off + w, len)
    tree:add(field, tvb(off + w, len))
    return w + len, nil
  elseif kind == "ip4" then
    need(tvb, off, 4)
    if as_text then
      tree:add(field, tvb(off, 4), ipv4_text(tvb(off, 4):bytes(), 4))
    else
      tree:add(field, tvb(off, 4))
    end
    return 4, nil
  elseif kind == "ipaddr" then
    ctx.family = number(tvb, off, "u8")
    return 1 + value(tvb, off + 1, tree, row, rec, ctx, "addr", field, as_text), nil
  elseif kind == "addr" then
    local n = ({ [0] = 4, [1] = 16 })[ctx.family]
    if n == nil then
      tree:add_proto_expert_info(e_value, "address family " .. tostring(ctx.family))
      error(Bad)
    end
    need(tvb, off, n)
    local r = tvb(off, n)
    if as_text then
      tree:add(field, r, n == 4 and ipv4_text(r:bytes(), 4) or ipv6_text(r:bytes()))
    else
      tree:add(n == 4 and field or row.field6, r)
    end
    return n, nil
  elseif kind == "ipaddrplen" then
    local code = number(tvb, off, "u8")
    local v6, plen = code > 32, code
    if v6 then plen = code - 33 end
    if plen > 128 then
      tree:add_proto_expert_info(e_value, "prefix length " .. plen)
      error(Bad)
    end
    local n = math.floor((plen + 7) / 8)
    need(tvb, off + 1, n)
    local raw = n > 0 and tvb(off + 1, n):bytes() or ByteArray.new()
    local text
    if v6 then
      raw:set_size(16)
      for i = n, 15 do raw:set_index(i, 0) end
      text = ipv6_text(raw) .. "/" .. plen
    else
      text = ipv4_text(raw, n) .. "/" .. plen
    end
    tree:add(field, tvb(off, 1 + n), text)
    return 1 + n, text
  end
  error("no layout for kind " .. tostring(kind))
end

local walk

-- Adds a list; returns the offset after it.
local function list(tvb, off, tree, row, rec, ctx)
  local count
  if row.count == "from" then
    local source = last[row.source[1]]
    count = source and source[row.source[2]] and #source[row.source[2]] or 0
  elseif row.count ~= "rest" then
    local n
    count, n = number(tvb, off, row.count)
    tree:add(row.count_field, tvb(off, n))
    off = off + n
  end
  local items, i = {}, 0
  while (count == nil and off < tvb:len()) or (count ~= nil and i < count) do
    i = i + 1
    local start = off
    if row.rows then
      local item = tree:add(f_item, tvb(off, 0), i)
      items[i] = {}
      off = walk(tvb, off, item, row.rows, items[i], ctx)
      item:set_len(off - start)
    else
      local n, v = value(tvb, off, tree, row, rec, ctx)
      items[i] = v
      off = off + n
    end
    if off == start then break end    -- items of no bytes: one is all there is to show
  end
  rec[row.name] = items
  return off
end

-- Adds the rows of a record; returns the offset after them. rec: the values
-- read so far by name (what the rows after them test).
walk = function(tvb, off, tree, rows, rec, ctx)
  for _, row in ipairs(rows) do
    local r = row.row
    if r == "may_end" then
      if off >= tvb:len() then return off end
    elseif r == "field" then
      local n, v = value(tvb, off, tree, row, rec, ctx)
      rec[row.name] = v
      off = off + n
    elseif r == "skip" then
      if row.since == nil or ctx.version >= row.since then
        local present = true
        if row.flagged then
          present = number(tvb, off, "u8") ~= 0
          off = off + 1
        end
        for _ = 1, present and row.rep or 0 do
          off = off + value(tvb, off, tree, row, rec, ctx)
        end
      end
    elseif r == "pair" or r == "woven" then
      for _, field in ipairs(row.parts) do
        off = off + value(tvb, off, tree, row, rec, ctx, row.kind, field)
      end
    elseif r == "list" then
      off = list(tvb, off, tree, row, rec, ctx)
    elseif r == "switch" then
      local case = row.cases[rec[row.on]] or row.default
      if case == nil then
        tree:add_proto_expert_info(e_value, row.on .. " " .. tostring(rec[row.on]) ..
                                   ": a value the protocol does not know")
        error(Bad)
      end
      off = walk(tvb, off, tree, case, rec, ctx)
    elseif r == "when" then
      if any_bit(rec[row.on], row.bits) then off = walk(tvb, off, tree, row.rows, rec, ctx) end
    elseif r == "groups" then
      local mask = row.mask or rec[row.on]
      for _, group in ipairs(row.groups) do
        if any_bit(mask, group.bits) then off = walk(tvb, off, tree, group.rows, rec, ctx) end
      end
    elseif r == "opaque" then
      if off < tvb:len() then tree:add(row.field, tvb(off)) end
      off = tvb:len()
    end
  end
  return off
end

-- Reads a payload by its rows under t; returns its record, or nil when it
-- does not read (marked).
local function dissect_record(payload, t, rows)
  local rec = {}
  local ctx = { version = last[VERSION] and last[VERSION].version or DEFAULT_VERSION }
  local ok, took = pcall(walk, payload, 0, t, rows, rec, ctx)
  if not ok then
    if took ~= Short and took ~= Bad then error(took) end
    if took == Short then t:add_proto_expert_info(e_short) end
    return nil
  elseif took < payload:len() then
    t:add_proto_expert_info(e_left, string.format("%%d bytes left over after the last field", payload:len() - took))
    return nil
  end
  return rec
end

local last_packet = nil     -- the packet whose info column names its frames

-- One whole frame in tvb; from_client: a request (true), a server message
-- (false) or unknown (nil).
local function frame(tvb, pinfo, tree, from_client)
  local mtype, length = tvb(0, 4):uint(), tvb(4, 2):uint()
  local req = REQUESTS[mtype]
  local is_request = from_client == true or (from_client == nil and req ~= nil)
  local msg = is_request and req or (not is_request and SERVER[mtype]) or nil
  local name = msg and msg.name or string.format("0x%%x", mtype)
  local t = tree:add(kx, tvb(0, math.min(tvb:len(), HEADER + length)), "KX " .. name)
  t:add(f_type, tvb(0, 4))
  t:add(f_length, tvb(4, 2))
  t:add(f_name, name):set_generated()
  t:add(f_direction, is_request and "request" or "server"):set_generated()
  pinfo.cols.protocol = "KX"
  if pinfo.number == last_packet then
    pinfo.cols.info:append(", " .. name)
  else
    pinfo.cols.info:set("KX " .. name)
    last_packet = pinfo.number
  end
  if tvb:len() < HEADER + length then
    t:add_proto_expert_info(e_frame, string.format("%%d bytes, the header says %%d", tvb:len(), HEADER + length))
    return
  end
  if is_request and req then t:add(f_request, req.request):set_generated() end
  if msg == nil then
    if length > 0 then t:add_proto_expert_info(e_unknown, string.format("%%d bytes not decoded", length)) end
    return
  end
  local payload = length > 0 and tvb(HEADER, length):tvb() or ByteArray.new():tvb("empty")
  local rec = dissect_record(payload, t, msg.rows)
  if not is_request then last[mtype] = rec end
end

-- kxtap's captures: one frame per packet, the direction in the packet's flags.
local function dissect_capture(tvb, pinfo, tree)
  pinfo.cols.protocol = "KX"
  if tvb:len() < HEADER then
    local t = tree:add(kx, tvb(), "KX")
    t:add_proto_expert_info(e_frame, string.format("%%d bytes", tvb:len()))
    return
  end
  local from_client = nil
  if pinfo.p2p_dir == P2P_DIR_SENT then from_client = true elseif pinfo.p2p_dir == P2P_DIR_RECV then from_client = false end
  frame(tvb, pinfo, tree, from_client)
end

local function frame_length(tvb, pinfo, off)
  return HEADER + tvb(off + 4, 2):uint()
end

local function tcp_frame(tvb, pinfo, tree)
  frame(tvb, pinfo, tree, pinfo.dst_port == kx.prefs.tcp_port)
  return tvb:len()
end

function kx.dissector(tvb, pinfo, tree)
  dissect_tcp_pdus(tvb, tree, HEADER, frame_length, tcp_frame)
  return tvb:len()
end

local registered_port = nil
function kx.prefs_changed()
  local tcp = DissectorTable.get("tcp.port")
  if registered_port ~= nil then tcp:remove(registered_port, kx) end
  registered_port = kx.prefs.tcp_port
  tcp:add(registered_port, kx)
end

local capture = Proto("kx_capture", "KX management protocol capture")
function capture.dissector(tvb, pinfo, tree)
  dissect_capture(tvb, pinfo, tree)
  return tvb:len()
end

DissectorTable.get("tcp.port"):add(kx.prefs.tcp_port, kx)
registered_port = kx.prefs.tcp_port
DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, capture)
'''


def generate(protocol_path=PROTOCOL):
    return Gen(runpy.run_path(protocol_path)).lua()


def main(argv):
    text = generate()
    if argv[1:] == ['--check']:
        with open(DEFAULT_OUT) as f:
            if f.read() != text:
                print('%s is stale: run python3 protocol/gen_lua.py' % DEFAULT_OUT, file=sys.stderr)
                return 1
        return 0
    out = argv[1] if len(argv) > 1 else DEFAULT_OUT
    with open(out + '.tmp', 'w') as f:
        f.write(text)
    os.rename(out + '.tmp', out)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))

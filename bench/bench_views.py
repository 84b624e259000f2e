"""Decoding speed of view updates and channel samples."""
from __future__ import print_function

import timeit

import KXdv17_0 as kx
import KXMsgv17_0
import floor
from kxtest import cpu_clock, s, u8, u32, u64

RUNS = 7


FIELDS = {1: {'type': 0}, 2: {'type': 1}, 3: {'type': 2}, 4: {'type': 4}, 5: {'type': 5}}
FIELD_VALUES = {1: u8(0) + b'\x0a\x00\x00\x01', 2: b'\x00\x50', 3: b'\x01\x00', 4: u32(7), 5: u8(1)}


def view_update_payload(per_kind):
    """per_kind operations of each of the four kinds, interleaved."""
    ops = []
    for i in range(per_kind):
        fid = 1 + i % 5
        ops.append(u8(0) + u32(i) + u32(0) + u8(0) + u8(fid) + FIELD_VALUES[fid] +
                   u8(0x1f) + u32(i) + u64(i) + u64(2 * i) + b'\0' * 24 + u32(1) + u32(2) + u32(3) + u32(4))
        ops.append(u8(1) + u32(i) + u8(0x13) + u32(i) + u64(i) + u64(i) + u32(3) + u32(4))
        ops.append(u8(2) + u32(i))
        ops.append(u8(3) + u32(i) + s('row label %d' % i))
    return b'\0\x01' + b''.join(ops)


def channels(nchannels, nstats):
    names = ['stat%d' % k for k in range(nstats)]
    info = u32(nstats) + b''.join(u32(k) + s(n) for k, n in enumerate(names))
    info += u32(nchannels) + b''.join(u32(c) + u8(1) + u8(1) + s('chan%d' % c)
                                     for c in range(nchannels))
    group = b''.join(u64(k) + u64(k + 1) for k in range(4)) + u32(5) + u32(6) + u32(7) + u32(8)
    data = u32(nchannels) + b''.join(u32(c) + b'\x01\x02\x03\x04' + u32(10) + u32(20) + group * nstats
                                    for c in range(nchannels))
    return info, data


def best_rate(func, number):
    """Calls per second of the best of RUNS runs of `number` calls."""
    best = min(timeit.repeat(func, number=number, repeat=RUNS, timer=cpu_clock))
    return number / best


def main():
    per_kind = 100
    payload = view_update_payload(per_kind)

    def view_update():
        m = KXMsgv17_0.KXMsg(kx.PROTOCOL_SERVER_VIEW_UPDATE, payload)
        kx.handleViewUpdateViewID(m)
        return kx.handleViewUpdate(m, FIELDS)
    assert len(view_update()) == 4 * per_kind
    rate = best_rate(view_update, 200)
    print('handleViewUpdate  (%d ops, %d bytes): %8.0f messages/s  %10.0f ops/s' % (
        4 * per_kind, len(payload), rate, rate * 4 * per_kind))
    view_floor = floor.returning(view_update())
    assert view_floor() == view_update()
    ops = 4 * per_kind
    print(floor.ratio_line('handleViewUpdate', rate * ops, best_rate(view_floor, 200) * ops, 'ops'))

    info_payload, data = channels(16, 8)
    info = kx.handleChannelsInfo(KXMsgv17_0.KXMsg(kx.PROTOCOL_SERVER_CHANNEL_STATS_INFO, info_payload))

    def channel_data():
        m = KXMsgv17_0.KXMsg(kx.PROTOCOL_SERVER_CHANNEL_STATS_DATA, data)
        return kx.handleChannelsData(m, info)
    assert len(channel_data()) == 16
    rate = best_rate(channel_data, 2000)
    print('handleChannelsData (16 channels, 8 statistics, %d bytes): %8.0f messages/s  %10.0f records/s' % (
        len(data), rate, rate * 16))
    records = info[0]
    channels_floor = floor.copied_records(channel_data(), records)
    assert channels_floor(records) == channel_data()
    print(floor.ratio_line('handleChannelsData', rate * 16,
                           best_rate(lambda: channels_floor(records), 2000) * 16, 'records'))


if __name__ == '__main__':
    main()

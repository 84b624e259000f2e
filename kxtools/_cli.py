"""Plumbing the command-line tools share: Ctrl-C as one line and exit status
130 from the first instant, the argument parser with --version and the
defaults in the help, failures as one line, and the one way every tool
takes an appliance's address (split_address: HOST:PORT, [V6ADDR]:PORT, HOST).

Nothing here runs at import; a tool calls guard_imports() before its heavy
imports and run() around its main body.
"""
from __future__ import absolute_import, division, print_function

import argparse
import math
import os
import signal
import sys

from kxtools._version import __version__

INTERRUPTED = 130   # 128 + SIGINT, what a shell reports for a Ctrl-C


class Fatal(Exception):
    """Ends a tool with this one line on standard error and exit status 1."""


def _exit_interrupted(prog):
    def handler(signum, frame):
        try:
            sys.stderr.write('%s: interrupted\n' % prog)
            sys.stderr.flush()
        finally:
            os._exit(INTERRUPTED)
    return handler


class ImportGuard(object):
    """While a tool's modules load, Ctrl-C ends the process at once with the
    one line (there is nothing to clean up yet). release() puts the previous
    handler back, so importing a tool module changes nothing for good; where
    the program has its own SIGINT handler, the guard leaves it alone."""

    def __init__(self, prog):
        self.old = None
        try:
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self.old = signal.signal(signal.SIGINT, _exit_interrupted(prog))
        except ValueError:  # not the main thread: signals are not ours to set
            pass

    def release(self):
        if self.old is not None:
            signal.signal(signal.SIGINT, self.old)
            self.old = None


def run(prog, body):
    """Calls body() and returns its exit status; Ctrl-C gives one line and
    130, a Fatal one line and 1."""
    try:
        if signal.getsignal(signal.SIGINT) is not signal.SIG_IGN:  # (started with Ctrl-C ignored: it stays so)
            signal.signal(signal.SIGINT, signal.default_int_handler)
    except ValueError:  # not the main thread
        pass
    try:
        try:
            return body()
        except Fatal as e:
            sys.stderr.write('%s: %s\n' % (prog, e))
            return 1
    except KeyboardInterrupt:
        # A second Ctrl-C while the line is written must not give a traceback.
        signal.signal(signal.SIGINT, _exit_interrupted(prog))
        sys.stderr.write('%s: interrupted\n' % prog)
        return INTERRUPTED


class _Version(argparse.Action):
    """--version on standard output under Python 2.7 too (its argparse
    writes the version to standard error)."""

    def __init__(self, option_strings, dest=argparse.SUPPRESS, default=argparse.SUPPRESS, help=None):
        argparse.Action.__init__(self, option_strings, dest=dest, default=default, nargs=0, help=help)

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write('%s %s\n' % (parser.prog, __version__))
        parser.exit(0)


class _Formatter(argparse.ArgumentDefaultsHelpFormatter):
    """Defaults in the help, except for switches (their default is off),
    options without a default and where the help already says it."""

    def _get_help_string(self, action):
        if action.nargs == 0 or action.default is None or '(default' in (action.help or ''):
            return action.help
        return argparse.ArgumentDefaultsHelpFormatter._get_help_string(self, action)


DEFAULT_HOST = '127.0.0.1'


def number_in(low, high, what):
    """An argparse type: a finite number of seconds in [low, high]."""
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError('%r is not a number' % text)
        if math.isnan(value) or not low <= value <= high:
            raise argparse.ArgumentTypeError('%s must be between %g and %g, not %s' % (what, low, high, text))
        return value
    return parse


def split_address(text, default_port, lowest=0):
    """An appliance's (or a listening) address as every tool takes it:
    'HOST:PORT', '[V6ADDR]:PORT', a bare HOST or V6ADDR (the default port)
    or ':PORT' (on 127.0.0.1) -> (host, port). ValueError when malformed.
    The default port is not checked (None: the caller's to fill in)."""
    text = text.strip()
    if text.startswith('['):
        host, bracket, rest = text[1:].partition(']')
        if not bracket or (rest and not rest.startswith(':')):
            raise ValueError('%r is not HOST:PORT or [V6ADDR]:PORT' % text)
        port = rest[1:]
        if not host:
            raise ValueError('no host in %r' % text)
    elif text.count(':') == 1:
        host, port = text.split(':')
        host = host or DEFAULT_HOST
    else:   # a bare host name or IPv4 address, or an IPv6 address without a port
        host, port = text, ''
    if not host:
        raise ValueError('no host in %r' % text)
    if port and not port.isdigit():
        raise ValueError('bad port in %r: not a number' % text)
    if not port:
        return host, default_port
    number = int(port)
    if not lowest <= number <= 65535:
        raise ValueError('bad port in %r: not from %d to 65535' % (text, lowest))
    return host, number


def address(default_port, lowest=1):
    """split_address as an argparse type: a malformed address is a usage error."""
    def parse(text):
        try:
            return split_address(text, default_port, lowest)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e))
    parse.__name__ = 'address'  # what argparse names in its messages
    return parse


def host_port(host, port):
    """The address as split_address takes it back: [v6]:port for IPv6."""
    return ('[%s]:%d' if ':' in host else '%s:%d') % (host, port)


def parser(prog, description, epilog=None):
    p = argparse.ArgumentParser(prog=prog, description=description, epilog=epilog, formatter_class=_Formatter)
    p.add_argument('--version', action=_Version, help='show the version and exit')
    return p

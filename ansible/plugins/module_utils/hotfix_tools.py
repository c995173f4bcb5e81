# -*- coding: utf-8 -*-
# Copyright (c) the Orrery hotfix tools authors; MIT licence (see the collection's README.md)
"""Runs the hotfix tools on the managed host and reads what they answer.

The modules decide nothing themselves: hotfixcheck's JSON documents say what an instance holds
and what patchapply would do, patchapply and patchremove do the work, and their exit statuses
and the line patchapply prints on standard error for a refusal or failure say how it went.
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os
import pwd
import re

# The one line patchapply prints on standard error when it refuses or fails:
#   patchapply: refused (code 6): <meaning>: <detail>
#   patchapply: failed (code 9): <meaning>: <detail>
#   patchapply: failed: <what failed>          (a failure without a code)
PATCHAPPLY_LINE = re.compile(r'^patchapply: (refused|failed)(?: \(code (\d+)\))?: (.*)$')

# Where patchapply lies relative to the directory of hotfixcheck: beside it in a build tree,
# in the package's libexec directory once installed.
PATCHAPPLY_PLACES = ('patchapply', '../libexec/orrery-hotfix/patchapply')


def install_state(status):
    """The status document's installState; tools that predate it give only the hotfix
    version, which then says "installed" or "none"."""
    state = status.get('installState')
    if state is None:
        state = 'installed' if status.get('hotfixVersion') is not None else 'none'
    return state


def patchapply_outcome(stderr):
    """code, meaning and detail of patchapply's refusal or failure line, None where absent."""
    for line in reversed(stderr.splitlines()):
        match = PATCHAPPLY_LINE.match(line)
        if match is None:
            continue
        kind, code, rest = match.groups()
        if code is None:
            return {'kind': kind, 'code': None, 'meaning': None, 'detail': rest}
        meaning, separator, detail = rest.partition(': ')
        return {'kind': kind, 'code': int(code), 'meaning': meaning,
                'detail': detail if separator else None}
    return {'kind': None, 'code': None, 'meaning': None, 'detail': None}


def owner_of(path):
    """The account name of the owner of path, or None when the uid has no name."""
    try:
        return pwd.getpwuid(os.stat(path).st_uid).pw_name
    except KeyError:
        return None


def platform_home_of(rcp_home):
    """The platform home is the directory that holds the rcp home."""
    return os.path.dirname(rcp_home.rstrip('/'))


class HotfixTools(object):
    """The tools as found on the managed host; every failure to run them fails the task."""

    def __init__(self, module):
        self.module = module
        self.hotfixcheck = module.get_bin_path('hotfixcheck', required=True)

    def fail(self, msg, **result):
        self.module.fail_json(msg=msg, **result)

    def patchapply(self):
        here = os.path.dirname(self.hotfixcheck)
        for place in PATCHAPPLY_PLACES:
            candidate = os.path.join(here, place)
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return candidate
        self.fail('patchapply not found beside %s nor in %s' % (
            self.hotfixcheck, os.path.normpath(os.path.join(here, PATCHAPPLY_PLACES[1], '..'))))

    def patchremove(self):
        return self.module.get_bin_path('patchremove', required=True)

    def document(self, command, *arguments):
        """Runs hotfixcheck <command> --json and answers its exit status and document. A run
        that printed no document (status 2: it could not answer) fails the task."""
        argv = [self.hotfixcheck, command, '--json', '--'] + list(arguments)
        rc, out, err = self.module.run_command(argv)
        try:
            document = json.loads(out)
        except ValueError:
            document = None
        if not isinstance(document, dict) or 'formatVersion' not in document:
            self.fail('hotfixcheck %s could not answer (status %d): %s'
                      % (command, rc, err.strip() or out.strip()), rc=rc, stderr=err)
        return rc, document

    def status(self, platform_home, strict=True):
        """The status document (exit status 0: an instance, 1: none), with installState. A
        record that cannot be read fails the task with the records named, unless not strict
        (after an install or removal, whose own outcome is what the task reports)."""
        rc, status = self.document('status', platform_home)
        if strict and rc not in (0, 1):
            self.fail('hotfixcheck status cannot read the instance at %s: %s'
                      % (platform_home, ', '.join(status.get('errors') or [])), status=status)
        status['installState'] = install_state(status)
        return rc, status

# -*- coding: utf-8 -*-
# Copyright (c) the Orrery hotfix tools authors; MIT licence (see the collection's README.md)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: hotfix
short_description: Install or remove an Orrery hotfix with the hotfix tools
version_added: 1.0.0
description:
  - Installs a hotfix package into an Orrery product with C(patchapply), or removes the
    installed hotfix with C(patchremove -rcphome), on the managed host.
  - The decisions are the tools' own. C(hotfixcheck plan --json) finds the product's rcp home
    and says what C(patchapply) would do; C(hotfixcheck status --json) says what the instance
    holds (its C(installState)); C(hotfixcheck needs-install) says whether the install is
    needed, by the order of versions that C(patchapply) applies. The module only runs them
    and reports their answers.
  - With I(state=present) the install runs when it is needed or the product is
    half-installed, else the task reports C(changed=false). With I(state=absent) the hotfix is
    removed when one is installed or half-installed.
  - A refusal or failure fails the task with the error code, its meaning and the detail, taken
    from the line C(patchapply) prints on standard error (else from the error channel that
    C(hotfixcheck status) reads), or with the exit status and message of C(patchremove).
  - C(hotfixcheck) is looked up on the search path (and in the C(sbin) directories);
    C(patchapply) beside it or in C(../libexec/orrery-hotfix) relative to it; C(patchremove)
    on the search path. Package C(orrery-hotfix) puts them there.
options:
  package:
    description:
      - The absolute path of the install package on the managed host (the directory whose
        C(Contents/Resources/hotfix.plist) is the settings file).
      - Required with I(state=present), and with I(state=absent) when I(destination) is given.
    type: path
  destination:
    description:
      - The absolute path of the install destination, as C(patchapply) takes it (the folder
        that holds the product, such as C(/Applications)).
      - Required with I(state=present).
    type: path
  platform_home:
    description:
      - The absolute path of the platform home (the directory that holds C(rcp)), as
        C(patchremove -rcphome) takes it; for I(state=absent) in place of I(package) and
        I(destination).
    type: path
  state:
    description:
      - C(present) installs the hotfix of I(package); C(absent) removes the installed hotfix.
    type: str
    choices: [present, absent]
    default: present
  owner:
    description:
      - The account the product's files are given to, passed to C(patchapply) as C(USER).
      - By default the owner of the rcp home as found, so that a run with C(become) does not
        give the product to root.
    type: str
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
attributes:
  check_mode:
    support: full
    details:
      - Runs C(hotfixcheck plan), C(status) and C(needs-install) only, which change nothing.
        A refusal that C(plan) foresees fails the task as the install would.
      - For I(state=absent) check mode reads the status only; a refusal of C(patchremove)
        (a running product) shows in the real run.
  diff_mode:
    support: full
    details:
      - For I(state=present), the steps of the install as C(hotfixcheck plan) lists them; for
        I(state=absent), the hotfix version before and after.
  platform:
    platforms: posix
notes:
  - The install and the removal use fixed names in C(/tmp) (the error channel, the marker
    file, the configuration hand-off file); run them one at a time on a machine, which a fleet
    of separate machines does anyway.
  - C(patchremove) and a root install need root on the managed host; use C(become).
requirements:
  - The hotfix tools on the managed host (package C(orrery-hotfix)).
seealso:
  - module: orrery.hotfix.hotfix_info
author:
  - Orrery hotfix tools (@orrery)
'''

EXAMPLES = r'''
- name: Install hotfix 1.0.2 where it is needed
  orrery.hotfix.hotfix:
    package: /Volumes/Hotfix/Hotfix.mpkg/Contents/Packages/hotfix.pkg
    destination: /Applications
  become: true

- name: Give the product to its user, whatever account runs the install
  orrery.hotfix.hotfix:
    package: /Volumes/Hotfix/Hotfix.mpkg/Contents/Packages/hotfix.pkg
    destination: /Applications
    owner: alice
  become: true

- name: Remove the installed hotfix
  orrery.hotfix.hotfix:
    platform_home: /Applications/Orrery.app/Contents/MacOS
    state: absent
  become: true
'''

RETURN = r'''
plan:
  description: The document of C(hotfixcheck plan --json) for I(package) and I(destination).
  returned: when I(package) and I(destination) are given
  type: dict
  sample: {"formatVersion": 1, "code": 0, "rcpHome": "/Applications/Orrery.app/Contents/MacOS/rcp"}
status:
  description:
    - The document of C(hotfixcheck status --json) for the platform home, read after the
      install or removal when one ran, else before; C(installState) is added when the tools
      predate it.
  returned: when the platform home is known
  type: dict
  sample: {"formatVersion": 1, "hotfixVersion": "1.0.2", "installState": "installed"}
needs_install:
  description: The document of C(hotfixcheck needs-install --json) for the package's version.
  returned: with I(state=present) when the package has a version
  type: dict
platform_home:
  description: The platform home, the directory that holds the rcp home that C(plan) found.
  returned: always
  type: str
  sample: /Applications/Orrery.app/Contents/MacOS
owner:
  description: The account given to C(patchapply) as C(USER).
  returned: when the install ran or would run
  type: str
  sample: alice
code:
  description:
    - The error code of a refusal or failure of C(patchapply) (3, 4, 6, 7, 8, 9), or the exit
      status of C(patchremove) (150, 155, 170, 190).
  returned: failure
  type: int
  sample: 6
meaning:
  description: What the code means, as the tool that refused says it.
  returned: failure, when the tool says it
  type: str
detail:
  description: The detail of the refusal or failure (a product name, a path).
  returned: failure, when the tool gives one
  type: str
rc:
  description: The exit status of C(patchapply) or C(patchremove).
  returned: when one of them ran
  type: int
stdout:
  description: What C(patchapply) or C(patchremove) printed on standard output.
  returned: when one of them ran
  type: str
stderr:
  description: What C(patchapply) or C(patchremove) printed on standard error.
  returned: when one of them ran
  type: str
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orrery.hotfix.plugins.module_utils.hotfix_tools import (
    HotfixTools, owner_of, patchapply_outcome, platform_home_of)


def plan_steps_text(plan):
    """The plan's launcher runs and steps, one a line, for --diff."""
    lines = ['remove the installed hotfix %s first' % plan.get('installedHotfixVersion')] \
        if plan.get('removesInstalledHotfix') else []
    for step in plan.get('steps') or []:
        line = '%s: %s %s' % (step.get('step'), step.get('action'), step.get('path'))
        if step.get('source'):
            line += ' from %s' % step['source']
        if step.get('when') and step['when'] != 'always':
            line += ' (when %s)' % step['when']
        lines.append(line)
    for run in plan.get('launcherRuns') or []:
        lines.append('launcher: %s' % ' '.join(run))
    return '\n'.join(lines) + '\n'


def instance_changed(before, after):
    """Whether a failed run changed what the instance records: a refusal changes nothing, a
    failed provisioning run leaves staged manifests and backups."""
    return any(before.get(key) != after.get(key) for key in (
        'hotfixVersion', 'installState', 'installFeatures', 'backups', 'stagedManifests'))


def refuse_as_planned(module, plan, result):
    """Fails the task with the code hotfixcheck plan says patchapply would send."""
    details = plan.get('details') or []
    module.fail_json(msg='patchapply would refuse the install (code %d)%s'
                     % (plan['code'], ': ' + ', '.join(details) if details else ''),
                     code=plan['code'], detail=', '.join(details) or None, **result)


def present(module, tools, result):
    package, destination = module.params['package'], module.params['destination']
    _, plan = tools.document('plan', package, destination)
    result['plan'] = plan
    if plan.get('rcpHome') is None:
        refuse_as_planned(module, plan, result)
    rcp_home = plan['rcpHome']
    platform_home = result['platform_home'] = platform_home_of(rcp_home)
    status_rc, status = tools.status(platform_home)
    result['status'] = status
    if status_rc == 1:
        refuse_as_planned(module, plan, result)

    needed = True  # a package without a version cannot be compared: patchapply decides
    if plan.get('packageVersion') is not None:
        needs_rc, result['needs_install'] = tools.document(
            'needs-install', platform_home, plan['packageVersion'])
        if needs_rc not in (0, 1):
            module.fail_json(msg='hotfixcheck needs-install could not answer (status %d)'
                             % needs_rc, **result)
        needed = needs_rc == 0
    if not needed and status['installState'] != 'half-installed':
        module.exit_json(changed=False, **result)

    owner = module.params['owner'] or owner_of(rcp_home)
    if owner is None:
        module.fail_json(msg='the owner of %s has no account name; give owner' % rcp_home,
                         **result)
    result['owner'] = owner
    if module._diff:
        result['diff'] = {'prepared': plan_steps_text(plan)}
    if module.check_mode:
        if plan.get('code') != 0:
            refuse_as_planned(module, plan, result)
        module.exit_json(changed=True, **result)

    rc, out, err = module.run_command([tools.patchapply(), package, destination],
                                      environ_update={'USER': owner})
    result.update(rc=rc, stdout=out, stderr=err)
    result['status'] = tools.status(platform_home, strict=False)[1]
    if rc != 0:
        outcome = patchapply_outcome(err)
        if outcome['kind'] is None:
            # Tools that print no such line leave the code on the error channel (0 after a
            # failure that has none, such as a failed provisioning run).
            outcome['code'] = (result['status'].get('lastInstall') or {}).get('code') or None
        text = {'refused': 'patchapply refused the install', 'failed': 'patchapply failed',
                None: 'patchapply ended with status %d' % rc}[outcome['kind']]
        if outcome['code'] is not None:
            text += ' (code %d)' % outcome['code']
        for part in (outcome['meaning'], outcome['detail']):
            if part:
                text += ': ' + part
        module.fail_json(msg=text, code=outcome['code'], meaning=outcome['meaning'],
                         detail=outcome['detail'],
                         changed=instance_changed(status, result['status']), **result)
    module.exit_json(changed=True, **result)


def absent(module, tools, result):
    platform_home = module.params['platform_home']
    if platform_home is None:
        _, plan = tools.document('plan', module.params['package'], module.params['destination'])
        result['plan'] = plan
        if plan.get('rcpHome') is None:
            module.fail_json(msg='hotfixcheck plan found no rcp home for %s (code %d)'
                             % (module.params['destination'], plan.get('code')), **result)
        platform_home = platform_home_of(plan['rcpHome'])
    result['platform_home'] = platform_home
    status_rc, status = tools.status(platform_home)
    result['status'] = status
    if status_rc == 1 or status['installState'] == 'none':
        module.exit_json(changed=False, **result)
    if module._diff:
        result['diff'] = {'before': 'hotfix %s (%s)\n' % (status.get('hotfixVersion'),
                                                          status['installState']),
                          'after': 'no hotfix\n'}
    if module.check_mode:
        module.exit_json(changed=True, **result)

    rc, out, err = module.run_command([tools.patchremove(), '-rcphome', platform_home])
    result.update(rc=rc, stdout=out, stderr=err)
    result['status'] = tools.status(platform_home, strict=False)[1]
    if rc != 0:
        message = out.strip().splitlines()[-1] if out.strip() else None
        module.fail_json(msg='patchremove ended with status %d%s' % (
            rc, ': ' + message if message else ''), code=rc, meaning=message,
            changed=instance_changed(status, result['status']), **result)
    module.exit_json(changed=True, **result)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            package=dict(type='path'),
            destination=dict(type='path'),
            platform_home=dict(type='path'),
            state=dict(type='str', default='present', choices=['present', 'absent']),
            owner=dict(type='str'),
        ),
        mutually_exclusive=[('destination', 'platform_home')],
        required_one_of=[('destination', 'platform_home')],
        required_if=[('state', 'present', ('package', 'destination'))],
        required_by={'destination': ('package',)},
        supports_check_mode=True,
    )
    for name in ('package', 'destination', 'platform_home'):
        value = module.params[name]
        if value is not None and not os.path.isabs(value):
            module.fail_json(msg='%s must be an absolute path, not %s' % (name, value))
    tools = HotfixTools(module)
    result = {'platform_home': module.params['platform_home']}
    if module.params['state'] == 'present':
        present(module, tools, result)
    else:
        absent(module, tools, result)


if __name__ == '__main__':
    main()

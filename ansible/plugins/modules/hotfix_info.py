# -*- coding: utf-8 -*-
# Copyright (c) the Orrery hotfix tools authors; MIT licence (see the collection's README.md)

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: hotfix_info
short_description: What an Orrery instance records about its hotfix, as facts
version_added: 1.0.0
description:
  - Reads C(hotfixcheck status --json) for a platform home on the managed host and sets it as
    the fact C(orrery_hotfix), for conditions and reports across a fleet.
  - The facts are the status document as C(hotfixcheck) prints it, with C(installState) added
    (C(installed) when a hotfix version is recorded, else C(none)) when the tools predate it.
  - A platform home without an instance is no failure; C(recognised) is then false.
    A record that exists and cannot be read fails the task with the records named.
options:
  platform_home:
    description:
      - The absolute path of the platform home, the directory that holds C(rcp).
    type: path
    default: /Applications/Orrery.app/Contents/MacOS
extends_documentation_fragment:
  - ansible.builtin.action_common_attributes
  - ansible.builtin.action_common_attributes.facts
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
  facts:
    support: full
  platform:
    platforms: posix
requirements:
  - The hotfix tools on the managed host (package C(orrery-hotfix)).
seealso:
  - module: orrery.hotfix.hotfix
author:
  - Orrery hotfix tools (@orrery)
'''

EXAMPLES = r'''
- name: Read what the instance records
  orrery.hotfix.hotfix_info:
    platform_home: /Applications/Orrery.app/Contents/MacOS

- name: Name the machines that still lack hotfix 1.0.2
  ansible.builtin.debug:
    msg: "{{ inventory_hostname }} holds {{ orrery_hotfix.hotfixVersion }}"
  when: orrery_hotfix.recognised and orrery_hotfix.hotfixVersion != '1.0.2'

- name: Stop where the product is running or half-installed
  ansible.builtin.fail:
    msg: "{{ orrery_hotfix.bundle }} is {{ 'running' if orrery_hotfix.running else 'half-installed' }}"
  when: orrery_hotfix.running or orrery_hotfix.installState == 'half-installed'
'''

RETURN = r'''
ansible_facts:
  description: Facts to add to the host's variables.
  returned: always
  type: complex
  contains:
    orrery_hotfix:
      description:
        - The document of C(hotfixcheck status --json) (see hotfixcheck(1) for every field),
          with C(installState).
        - C(hotfixVersion) is the recorded hotfix version or null; C(installState) is
          C(installed), C(none) or C(half-installed); C(running) whether the product is
          running; C(lastInstall) the code and details on the error channel of the user who
          runs the module and the marker file of a failed install.
      returned: always
      type: dict
      sample:
        formatVersion: 1
        recognised: true
        rcpHome: /Applications/Orrery.app/Contents/MacOS/rcp
        hotfixVersion: 1.0.2
        installState: installed
        running: false
        lastInstall: {"code": 0, "details": [], "markerFile": false, "markerSince": null}
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.orrery.hotfix.plugins.module_utils.hotfix_tools import HotfixTools


def main():
    module = AnsibleModule(
        argument_spec=dict(
            platform_home=dict(type='path', default='/Applications/Orrery.app/Contents/MacOS'),
        ),
        supports_check_mode=True,
    )
    _, status = HotfixTools(module).status(module.params['platform_home'])
    module.exit_json(changed=False, ansible_facts={'orrery_hotfix': status})


if __name__ == '__main__':
    main()

#!/usr/bin/python
"""Stand-in for ansible.windows.win_file on the Wine machine, with its
options and check mode; state absent (a folder goes with all it holds) and
directory are modelled."""
import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.wine import host_path


def main():
    module = AnsibleModule(argument_spec=dict(
        path=dict(type="path", required=True, aliases=["dest", "name"]),
        state=dict(type="str", choices=["absent", "directory", "file", "touch"]),
    ), supports_check_mode=True)
    path, state = host_path(module.params["path"]), module.params["state"]
    if state == "absent":
        changed = os.path.lexists(path)
        if changed and not module.check_mode and os.path.isdir(path):
            shutil.rmtree(path)
        elif changed and not module.check_mode:
            os.remove(path)
    elif state == "directory":
        changed = not os.path.isdir(path)
        if changed and not module.check_mode:
            os.makedirs(path)
    else:
        module.fail_json(msg="state %s is not modelled here" % state)
    module.exit_json(changed=changed)


if __name__ == "__main__":
    main()

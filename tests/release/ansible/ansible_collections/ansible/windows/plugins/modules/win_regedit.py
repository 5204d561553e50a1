#!/usr/bin/python
"""Stand-in for ansible.windows.win_regedit on the Wine machine, with its
options, results and check mode; state absent of a whole key is modelled,
done by the 64-bit reg.exe, in the 64-bit view as the real module works on
64-bit Windows."""
from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.wine import run

REG = "C:\\windows\\system32\\reg.exe"


def main():
    module = AnsibleModule(argument_spec=dict(
        path=dict(type="str", required=True, aliases=["key"]),
        name=dict(type="str", aliases=["entry", "value"]),
        data=dict(type="raw"),
        type=dict(type="str", default="string", aliases=["datatype"],
                  choices=["none", "binary", "dword", "expandstring", "multistring", "string", "qword"]),
        state=dict(type="str", default="present", choices=["absent", "present"]),
        delete_key=dict(type="bool", default=True),
        hive=dict(type="path"),
    ), supports_check_mode=True)
    if module.params["state"] != "absent" or module.params["name"] or module.params["hive"]:
        module.fail_json(msg="only the removal of a whole key is modelled here")
    key = module.params["path"].replace(":", "", 1)
    changed = run([REG, "query", key])[0] == 0
    if changed and not module.check_mode:
        status, _, err = run([REG, "delete", key, "/f"])
        if status != 0:
            module.fail_json(msg="reg delete failed with %d: %s" % (status, err))
    module.exit_json(changed=changed, data_changed=False, data_type_changed=False)


if __name__ == "__main__":
    main()

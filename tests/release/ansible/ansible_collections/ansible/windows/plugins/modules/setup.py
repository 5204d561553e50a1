#!/usr/bin/python
"""Stand-in for ansible.windows.setup: the facts the play reads, from the
Wine machine. architecture2 maps the processor of Windows as the real
module maps Win32_Processor's ProcessorArchitecture."""
from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.wine import run

ARCHITECTURE2 = {"x86": "i386", "arm": "arm", "ia64": "ia64", "amd64": "x86_64", "arm64": "arm64"}


def main():
    module = AnsibleModule(argument_spec=dict(
        _measure_subset=dict(type="bool", default=False),
        fact_path=dict(type="path"),
        gather_subset=dict(type="list", elements="str", default=["all"]),
        gather_timeout=dict(type="int", default=10),
    ), supports_check_mode=True)
    status, out, err = run(["C:\\windows\\system32\\cmd.exe", "/c",
                            "echo %PROCESSOR_ARCHITECTURE% %COMPUTERNAME%"])
    if status != 0:
        module.fail_json(msg="cmd.exe failed with %d: %s" % (status, err))
    processor, hostname = out.split()
    module.exit_json(changed=False, ansible_facts=dict(
        ansible_architecture2=ARCHITECTURE2.get(processor.lower(), "unknown"),
        ansible_hostname=hostname, ansible_os_family="Windows", ansible_system="Win32NT"))


if __name__ == "__main__":
    main()

#!/usr/bin/python
"""Stand-in for ansible.windows.win_copy on the Wine machine, with its
options, results and check mode. The play runs on a local connection, so
src, a file or folder on the control node, is at hand. A folder given
without a trailing / is copied as a whole into dest; with one, its contents
are. A dest that ends in \\ is a folder. A file is copied where it is
missing or its SHA1 differs, as the real module compares them."""
import hashlib
import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.ansible.windows.plugins.module_utils.wine import host_path


def sha1(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def main():
    module = AnsibleModule(argument_spec=dict(
        backup=dict(type="bool", default=False),
        content=dict(type="str"),
        decrypt=dict(type="bool", default=True),
        dest=dict(type="path", required=True),
        force=dict(type="bool", default=True),
        local_follow=dict(type="bool", default=True),
        remote_src=dict(type="bool", default=False),
        src=dict(type="path"),
    ), mutually_exclusive=[["content", "src"]], supports_check_mode=True)
    src, dest = module.params["src"], module.params["dest"]
    if not src or module.params["backup"] or module.params["remote_src"]:
        module.fail_json(msg="only src from the control node is modelled here")
    target = host_path(dest)
    pairs = []  # (source file, target file)
    if os.path.isdir(src):
        into = target if src.endswith("/") else os.path.join(target, os.path.basename(src))
        for root, _, files in os.walk(src):
            for name in files:
                path = os.path.join(root, name)
                pairs.append((path, os.path.join(into, os.path.relpath(path, src))))
    else:
        pairs.append((src, os.path.join(target, os.path.basename(src))
                      if dest.endswith("\\") else target))
    changed = False
    for source, copy in pairs:
        if os.path.exists(copy) and (not module.params["force"] or sha1(copy) == sha1(source)):
            continue
        changed = True
        if not module.check_mode:
            os.makedirs(os.path.dirname(copy), exist_ok=True)
            shutil.copyfile(source, copy)
    result = dict(changed=changed, dest=dest, src=src)
    if os.path.isdir(src):
        result["operation"] = "folder_copy"
    else:
        result.update(operation="file_copy", checksum=sha1(src), size=os.path.getsize(src),
                      original_basename=os.path.basename(src))
    module.exit_json(**result)


if __name__ == "__main__":
    main()

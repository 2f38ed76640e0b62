#!/usr/bin/python3
"""Checks the web interface's package for what a firmware tree and the
router's web server require of it, since neither runs here: its JSON files
parse, the Makefile has the lines of the feed's layout, every menu entry has
its view and every view its entry, and every bus call and UCI config the
views use is granted by the ACL groups the menu depends on.

  luci_app_check.py PACKAGING_DIR   (the folder holding aircoord/ and luci-app-aircoord/)"""
import glob
import json
import os
import re
import sys

top = sys.argv[1]
app = os.path.join(top, 'luci-app-aircoord')
views = os.path.join(app, 'htdocs/luci-static/resources/view')
failed = []


def check(ok, what):
    if not ok:
        failed.append(what)
        print('FAIL', what)


docs = {}
for path in glob.glob(os.path.join(top, '*/**/*.json'), recursive=True):
    try:
        docs[path] = json.load(open(path))
    except ValueError as e:
        check(False, '%s: %s' % (path, e))

mk = open(os.path.join(app, 'Makefile')).read()
includes = re.findall(r'^include (.*)$', mk, re.M)
check(includes[:1] == ['$(TOPDIR)/rules.mk'] and includes[-1:] == ['../../luci.mk'],
      'Makefile: rules.mk first, ../../luci.mk last: %s' % includes)
deps = re.search(r'^LUCI_DEPENDS:=(.*)$', mk, re.M)
check(deps and {'+luci-base', '+aircoord'} <= set(deps.group(1).split()), 'Makefile: depends on luci-base and aircoord')
check(re.search(r'^LUCI_TITLE:=.+$', mk, re.M), 'Makefile: LUCI_TITLE')
check(mk.rstrip().endswith('# call BuildPackage - OpenWrt buildroot signature'), 'Makefile: ends with the signature line')

# ACL files are rpcd's: groups holding read/write. The daemon package ships
# the group the pages use.
acl = {}
for path, doc in docs.items():
    if '/acl.d/' in path or path.endswith('acl.json'):
        for name, group in doc.items():
            check(isinstance(group.get('description'), str) and ('read' in group or 'write' in group),
                  '%s: group %s has a description and rights' % (path, name))
            acl[name] = group
check(acl, 'an ACL file is in the packages')

menu = docs.get(os.path.join(app, 'root/usr/share/luci/menu.d/luci-app-aircoord.json'), {})
groups = set()
paths = set()
for key, entry in menu.items():
    groups |= set(entry.get('depends', {}).get('acl', []))
    action = entry.get('action', {})
    if action.get('type') == 'view':
        paths.add(action['path'])
check(groups and groups <= set(acl), 'the menu depends on ACL groups that exist: %s' % sorted(groups))
files = {os.path.relpath(p, views)[:-3] for p in glob.glob(os.path.join(views, '*/*.js'))}
check(paths == files, 'menu entries %s and views %s match' % (sorted(paths), sorted(files)))


def granted(kind, obj, method=None):
    for g in groups & set(acl):
        for mode in ('read', 'write'):
            rights = acl[g].get(mode, {}).get(kind, {})
            if (method is None and obj in rights) or method in (rights.get(obj, []) if isinstance(rights, dict) else []):
                return True
    return False


calls = 0
for name in sorted(files):
    src = open(os.path.join(views, name + '.js')).read()
    check(src.startswith("'use strict';") and re.search(r'^return view\.extend\(', src, re.M),
          '%s: a view file ("use strict" ... return view.extend)' % name)
    for obj, method in re.findall(r"rpc\.declare\(\{[^}]*object:\s*'([^']+)',\s*method:\s*'([^']+)'", src):
        check(granted('ubus', obj, method), '%s: %s.%s is granted' % (name, obj, method))
        calls += 1
    for config in re.findall(r"new form\.Map\('([^']+)'", src):
        check(granted('uci', config) and any(config in acl[g].get('write', {}).get('uci', []) for g in groups),
              '%s: UCI config %s is granted, and may be written' % (name, config))
check(calls, 'the views\' bus calls are found')
print('luci-app-aircoord: %s' % ('FAIL' if failed else 'PASS'))
sys.exit(1 if failed else 0)

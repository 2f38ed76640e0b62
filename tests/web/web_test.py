#!/usr/bin/python3
"""The mesh renderer, the simulator's report and the router's pages in
headless Chromium (Debian's chromium, chromium-driver, python3-selenium).

  web_test.py report REPORT.html [PNG]   the demo's report; PNG: a screenshot
  web_test.py renderer REPORT.html       the report's replies, a 64-box mesh, the status page
  web_test.py settings AIRCOORD BUSD BUS_CLI   the settings page against a real daemon

Exits 77 (skipped) when the browser, its driver or selenium is missing."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

SRC = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WWW = os.path.join(SRC, 'packaging/openwrt/luci-app-aircoord/htdocs/luci-static/resources')
MESHVIEW = os.path.join(WWW, 'aircoord/meshview.js')
UCI = os.path.join(SRC, 'packaging/openwrt/aircoord/files/aircoord.config')
CHROMIUM, DRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    webdriver = None

failures = []
TMP = tempfile.mkdtemp(prefix='aircoord-web-')


def check(ok, what):
    if not ok:
        failures.append(what)
        print('FAIL', what)
    return ok


def browser(width, height):
    o = webdriver.ChromeOptions()
    o.binary_location = CHROMIUM
    for a in ('--headless=new', '--no-sandbox', '--disable-background-networking',
              '--disable-component-update', '--disable-sync', '--no-first-run', '--hide-scrollbars',
              '--user-data-dir=' + tempfile.mkdtemp(dir=TMP)):
        o.add_argument(a)
    o.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    d = webdriver.Chrome(service=Service(DRIVER), options=o)
    d.set_window_size(width, height)
    return d


def console_errors(d, where):
    for e in d.get_log('browser'):
        check(e['level'] not in ('SEVERE', 'ERROR'), '%s: console: %s' % (where, e['message']))


def report_data(path):
    html = open(path, encoding='utf-8').read()
    check(not re.search(r'<(script|link|img|iframe)[^>]*\s(src|href)=', html), 'the report fetches nothing')
    return json.loads(re.search(r'id="aircoord-report">(.*?)</script>', html, re.S).group(1))


# In the page: what lies off-screen, overflows or overlaps, and which
# station of the replies is not drawn once at its BSS.
LAYOUT_JS = r'''
var replies = arguments[0], out = [], W = document.documentElement.clientWidth;
var name = function (e) { return e.className + ' ' + (e.textContent || '').slice(0, 40); };
if (document.documentElement.scrollWidth > W + 1)
  out.push('the page scrolls sideways: ' + document.documentElement.scrollWidth + ' > ' + W);
document.querySelectorAll('.acm-box, .acm-sta, .acm-bh, .acm-marks li, .acm-top span, .acm-msg, .acm-table').forEach(function (e) {
  var r = e.getBoundingClientRect();
  if (r.width && (r.left < -0.5 || r.right > W + 0.5)) out.push('off-screen: ' + name(e));
  if (e.scrollWidth > e.clientWidth + 1) out.push('overflows: ' + name(e));
});
var overlaps = function (list) {
  var rs = Array.prototype.map.call(list, function (e) { return e.getBoundingClientRect(); });
  for (var i = 0; i < rs.length; i++)
    for (var j = i + 1; j < rs.length; j++)
      if (Math.min(rs[i].right, rs[j].right) - Math.max(rs[i].left, rs[j].left) > 1 &&
          Math.min(rs[i].bottom, rs[j].bottom) - Math.max(rs[i].top, rs[j].top) > 1)
        out.push('overlap: ' + name(list[i]) + ' / ' + name(list[j]));
};
overlaps(document.querySelectorAll('.acm-box'));
document.querySelectorAll('.acm-stas').forEach(function (s) { overlaps(s.children); });
var known = {};
((replies.status || {}).nodes || []).forEach(function (n) { (n.bss || []).forEach(function (b) { known[b.bssid] = 1; }); });
((replies.stations || {}).stations || []).forEach(function (s) {
  var chips = document.querySelectorAll('.acm-sta[data-sta="' + s.sta + '"]');
  var at = chips.length === 1 && chips[0].closest('[data-bssid]');
  if (chips.length !== 1 || (known[s.bssid] ? !at || at.dataset.bssid !== s.bssid : at))
    out.push(s.sta + ' is drawn ' + chips.length + ' times, at ' + (at ? at.dataset.bssid : 'no BSS') + ' for ' + s.bssid);
});
return out;
'''


def blank_page(d):
    page = os.path.join(TMP, 'page.html')
    with open(page, 'w') as f:
        f.write('<!DOCTYPE html><meta charset="utf-8"><meta name="viewport" content="width=device-width">'
                '<body style="margin:8px;font-family:sans-serif"><div id="app"></div><script src="file://%s"></script>' % MESHVIEW)
    d.get('file://' + page)


def mac(*b):
    return ':'.join('%02x' % x for x in b)


def big_mesh(boxes=64, stations=500):
    """Replies of a mesh with `boxes` boxes and `stations` stations: some boxes
    not answering, one without BSSes, far steers, a radar hold."""
    nodes, bsses = [], []
    for i in range(boxes):
        n = {'prefix': '' if i == 0 else '10.0.%d.%d' % (i // 250, i % 250 + 2), 'mac': mac(2, 0xaa, 0, 0, 0, i),
             'responsive': i % 9 != 5, 'bss': []}
        for k in range(0 if i == 7 else 1 + i % 3):
            b = {'ifname': 'wl%d' % k, 'ssid': '<img src=x> a long SSID %d' % k, 'bssid': mac(2, 0, 0, i, 0, k),
                 'channel': [6, 100, 37][k], 'opclass': [81, 121, 131][k]}
            n['bss'].append(b)
            bsses.append(b['bssid'])
        nodes.append(n)
    stas = [{'sta': mac(0x5c, 0, 0, 0, s // 256, s % 256), 'bssid': bsses[(s * 7) % len(bsses)],
             'rssi': -40 - s % 50, 'age': s % 90} for s in range(stations)]
    stas.append({'sta': mac(0x5c, 1, 1, 1, 1, 1), 'bssid': mac(2, 9, 9, 9, 9, 9)})  # a BSS nobody reports
    hist = [{'time': 100 + s, 'kind': ['steer', 'no_steer', 'disconnect'][s % 3], 'sta': stas[s]['sta'],
             'bssid': bsses[(s * 13) % len(bsses)], 'target': stas[s]['bssid'],
             'reason': 'signal -74 dBm below -65; a neighbor heard it 18 dB better (needs more than 8)'} for s in range(40)]
    return {'status': {'uptime': 200, 'nodes': nodes, 'watchlist': [{'ip': '10.0.9.9', 'next_in': 12}],
                       'radar_hold': {'channel': 36, 'remaining': 3000}},
            'stations': {'stations': stas, 'offset': 0, 'total': len(stas)},
            'history': {'history': hist, 'total': len(hist)}}


def draw(d, replies, where):
    problems = d.execute_script('''var app = document.getElementById('app'); app.textContent = '';
        AircoordMesh.view(app, {}).update(arguments[0]);''' + LAYOUT_JS, replies)
    for p in problems:
        check(False, '%s: %s' % (where, p))


# The router's status page with a stand-in for the web interface's modules:
# rpc.declare answers from `replies`, paging the stations two at a time.
STATUS_VIEW_JS = r'''
var replies = arguments[0], source = arguments[1], done = arguments[2], calls = [], polls = [];
window.E = function (tag, attrs, kids) {
  var e = document.createElement(tag); Object.keys(attrs || {}).forEach(function (k) { e.setAttribute(k, attrs[k]); });
  [].concat(kids || []).forEach(function (k) { e.append(k); }); return e;
};
var rpc = {declare: function (d) {
  return function () {
    calls.push(d.object + '.' + d.method);
    var r = replies[d.method];
    if (d.method === 'stations' && typeof r === 'object') {
      var off = arguments[0] || 0;
      return Promise.resolve({stations: r.stations.slice(off, off + 2), offset: off, total: r.stations.length});
    }
    return Promise.resolve(r);
  };
}};
var view = {extend: function (o) { return o; }};
var poll = {add: function (fn, secs) { polls.push(secs); }};
var v = new Function('view', 'rpc', 'poll', source)(view, rpc, poll);
v.load().then(function (data) {
  var app = document.getElementById('app'); app.textContent = ''; app.appendChild(v.render(data));
  done({calls: calls, polls: polls, save: v.handleSaveApply, rows: app.querySelectorAll('.acm-decisions tbody tr').length,
        msg: (app.querySelector('.acm-msg') || {}).textContent || ''});
}, function (e) { done({error: String(e)}); });
'''


def status_view(d, replies):
    src = open(os.path.join(WWW, 'view/aircoord/status.js')).read()
    return d.execute_async_script(STATUS_VIEW_JS, replies, src)


def test_renderer(report):
    data = report_data(report)
    steps = [s for s in data['steps'] if 'status' in s]
    check(len(steps) >= 3, 'the report holds the replies of several steps')
    for w, h in ((1280, 800), (360, 740)):
        d = browser(w, h)
        try:
            blank_page(d)
            for i, s in enumerate(steps):
                r = {k: s[k] for k in ('status', 'stations', 'history')}
                draw(d, r, '%d px, step %d' % (w, i + 1))
            draw(d, big_mesh(), '%d px, 64 boxes' % w)
            check(d.execute_script('return document.querySelectorAll(".acm-box").length') == 65,
                  '%d px: 64 boxes and the stations elsewhere are drawn' % w)
            check(d.execute_script('return document.querySelectorAll(".acm-down").length') == 7,
                  '%d px: boxes not answering look so' % w)
            check(d.execute_script('return document.querySelectorAll(".acm img").length') == 0,
                  '%d px: an SSID is text, never markup' % w)
            for what, r, text in (('empty mesh', {'status': {'nodes': []}}, 'knows no box'),
                                  ('daemon not running', {'status': 4}, 'not running')):
                draw(d, r, '%d px, %s' % (w, what))
                check(text in d.find_element(By.CSS_SELECTOR, '.acm-msg').text, '%d px: %s: says "%s"' % (w, what, text))
            if w == 1280:
                last = {k: steps[-1][k] for k in ('status', 'stations', 'history')}
                got = status_view(d, last)
                n = len(last['stations']['stations'])
                check(got.get('calls', []).count('aircoord.stations') == (n + 1) // 2 and got.get('polls') == [5],
                      'status page: asks every page of stations and polls every 5 s: %s' % got)
                check(got.get('rows') == len(last['history']['history']) and got.get('save') is None,
                      'status page: one table row per decision, no save buttons: %s' % got)
                check(d.execute_script(LAYOUT_JS, last) == [], 'status page: every station drawn at its BSS')
                got = status_view(d, {'status': 4, 'stations': 4, 'history': 4})
                check('not running' in got.get('msg', ''), 'status page: says the daemon is not running: %s' % got)
            console_errors(d, '%d px' % w)
        finally:
            d.quit()


def bss_of(status, prefix, ifname):
    return [b['bssid'] for n in status['nodes'] if n['prefix'] == prefix for b in n['bss'] if b['ifname'] == ifname][0]


def test_report(report, png):
    data = report_data(report)
    seen = [s['sta'] for s in data['steps'][-1]['stations']['stations']]
    tablet, phone = ([m for m, n in data['names'].items() if n == name and m in seen][0] for name in ('tablet', 'phone'))
    d = browser(1280, 800)
    try:
        d.get('file://' + os.path.abspath(report))
        verdicts = d.find_elements(By.CSS_SELECTOR, '.rp-verdicts li')
        check(len(verdicts) == len(data['verdicts']) > 0 and all(v.text.startswith('PASS') for v in verdicts),
              'every verdict is shown, each a PASS')
        check(len(d.find_elements(By.CSS_SELECTOR, '.rp-tl li')) == len(data['lines']), 'every timeline line is shown')
        slider = d.find_element(By.CSS_SELECTOR, '.rp-nav input')
        slider.send_keys(Keys.HOME)
        at = lambda sta: d.execute_script(
            'var c = document.querySelector(\'.acm-sta[data-sta="\' + arguments[0] + \'"]\');'
            'return c && c.closest("[data-bssid]").dataset.bssid;', sta)
        first = data['steps'][0]['status']
        check(at(phone) == bss_of(first, '', 'wl0'), 'the phone starts at router/wl0')
        steer = None
        for k in range(1, len(data['steps'])):
            slider.send_keys(Keys.ARROW_RIGHT)
            if at(phone) == bss_of(first, '192.168.1.2', 'wl1') and at(tablet) == bss_of(first, '', 'wl1'):
                steer = steer if steer is not None else k
        check(steer is not None, 'stepping the slider moves the phone to ext1/wl1 and the tablet to router/wl1')
        d.get('file://%s#%d' % (os.path.abspath(report), (steer or 0) + 1))
        check(d.find_elements(By.CSS_SELECTOR, 'path[data-steer="%s"]' % tablet) != [],
              'the tablet\'s steer is drawn as an arrow')
        d.find_element(By.CSS_SELECTOR, '.acm-sta[data-sta="%s"]' % tablet).click()
        detail = d.find_element(By.CSS_SELECTOR, '.acm-detail').text
        check('router/wl1 heard at -56 dBm, 18 dB better' in detail and 'steer' in detail,
              'the tablet\'s decision says why it was steered: %r' % detail)
        check('only 8 dB better' in d.find_element(By.CSS_SELECTOR, '.rp-decisions').text,
              'the phone\'s decisions say why it was not steered')
        if png:
            d.find_element(By.CSS_SELECTOR, '.acm-detail button').click()
            d.save_screenshot(png)
        console_errors(d, 'report')
    finally:
        d.quit()


def uci_options():
    """name -> (default, comment) of the UCI file; list options' default is []."""
    out, notes = {}, []
    for line in open(UCI):
        m = re.match(r"\s*#?\s*(option|list)\s+(\w+)\s+'([^']*)'", line)
        if m:
            out[m.group(2)] = ([] if m.group(1) == 'list' else m.group(3), ' '.join(notes))
            notes = []
        elif line.strip().startswith('#'):
            notes.append(line.strip().lstrip('# '))
    return out


# The settings page with a stand-in form library that records the options.
SETTINGS_VIEW_JS = r'''
var source = arguments[0], done = arguments[1], opts = [];
var W = function (kind) { return {kind: kind}; };
var form = {Value: W('Value'), Flag: W('Flag'), ListValue: W('ListValue'), DynamicList: W('DynamicList'),
  NamedSection: W('NamedSection'), Map: function (config) {
    this.config = config;
    this.section = function (type, name) {
      return {option: function (w, n) { var o = {kind: w.kind, name: n, values: [], value: function (k) { this.values.push(k); }};
                                      opts.push(o); return o; }};
    };
    this.render = function () { return document.createElement('div'); };
  }};
var v = new Function('view', 'form', source)({extend: function (o) { return o; }}, form);
v.load().then(function () { v.render(); done(JSON.parse(JSON.stringify(opts))); }, function (e) { done(String(e)); });
'''


def test_settings(aircoord, busd, cli):
    sock = os.path.join(TMP, 'bus.sock')
    procs = [subprocess.Popen([busd, '-s', sock])]
    call = lambda m, a=None: subprocess.run([cli, '-s', sock, 'call', 'aircoord', m] + ([json.dumps(a)] if a else []),
                                            capture_output=True, text=True)
    try:
        procs.append(subprocess.Popen([aircoord, '-d', '-s', sock, '-p', os.path.join(TMP, 'pid')],
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.time() + 20  # the daemon waits 2 s before it joins the bus
        while call('get_config').returncode != 0 and time.time() < deadline:
            time.sleep(0.1)
        config = json.loads(call('get_config').stdout)
        d = browser(1280, 800)
        try:
            blank_page(d)
            view = d.execute_async_script(SETTINGS_VIEW_JS, open(os.path.join(WWW, 'view/aircoord/settings.js')).read())
            console_errors(d, 'settings')
        finally:
            d.quit()
        uci = uci_options()
        names = {o['name'] for o in view}
        service = set()
        check(set(uci) <= names and set(config) <= names, 'every UCI option and every get_config key has a field: %s'
              % sorted((set(uci) | set(config)) - names))
        text = lambda v: None if isinstance(v, list) else str(int(v)) if isinstance(v, bool) else str(v)
        for o in view:
            n = o['name']
            default, notes = uci.get(n, (None, ''))
            if n not in uci and n not in config:
                service.add(n)
                continue
            for where, want in (('get_config', config), ('the UCI file', {n: default} if n in uci else {})):
                if n in want:
                    check(o.get('default') == text(want[n]), '%s: default %s, %s %r' % (n, o.get('default'), where, want[n]))
            r = re.match(r'and\(integer,range\((-?\d+),(-?\d+)\)\)$', o.get('datatype', ''))
            if r:
                lo, hi = int(r.group(1)), int(r.group(2))
                check('%d..%d' % (lo, hi) in notes, '%s: range %d..%d, UCI file says %r' % (n, lo, hi, notes))
                probes = ((lo, 0), (hi, 0), (lo - 1, 1), (hi + 1, 1))
            elif o['kind'] == 'ListValue':
                vals = [int(x) for x in o['values']]
                check('(%s)' % ', '.join(o['values']) in notes, '%s: %s, UCI file says %r' % (n, o['values'], notes))
                probes = [(x, 0) for x in vals] + [(vals[0] + 1, 1)]
            elif o['kind'] == 'DynamicList':
                most = int(re.search(r'at most (\d+)', notes).group(1))
                check(o.get('datatype') == 'macaddr', '%s: each entry a MAC address' % n)
                probes = [([mac(0x5c, 0, 0, 0, 0, i) for i in range(k)], k > most) for k in (most, most + 1)]
            else:
                check(o['kind'] == 'Flag' and '0 or 1' in notes, '%s: a flag, UCI file says %r' % (n, notes))
                probes = ()
            for value, refused in probes:
                check((call('set_config', {n: value}).returncode != 0) == refused,
                      '%s: the controller %s %r' % (n, 'refuses' if refused else 'takes', value))
        check(service <= {'enabled'}, 'fields without a UCI option or get_config key: %s' % sorted(service))
    finally:
        for p in reversed(procs):
            p.terminate()
            p.wait()


def main():
    what, args = sys.argv[1], sys.argv[2:]
    try:
        if webdriver is None or not os.access(CHROMIUM, os.X_OK) or not os.access(DRIVER, os.X_OK):
            print('skipped: chromium, chromium-driver or python3-selenium is missing (scripts/test installs them)')
            return 77
        {'report': lambda: test_report(args[0], args[1] if len(args) > 1 else None),
         'renderer': lambda: test_renderer(args[0]),
         'settings': lambda: test_settings(*args)}[what]()
    finally:
        shutil.rmtree(TMP, ignore_errors=True)
    print('%s: %s' % (what, 'FAIL (%d)' % len(failures) if failures else 'PASS'))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())

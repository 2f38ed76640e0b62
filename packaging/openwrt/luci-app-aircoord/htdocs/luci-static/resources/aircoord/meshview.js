// The mesh as the controller sees it, drawn from the replies of its bus
// object (status, stations, history). A plain script that defines
// window.AircoordMesh and needs nothing else: the router's status page and
// the simulator's report draw with this same file.
//
// Replies are read member by member: an absent or mistyped member is
// unknown, never an error, and a reply that is a number is the bus status
// of a call that failed. Texts that come from the mesh (SSIDs, reasons,
// names) only ever become text nodes.
(function (root) {
	'use strict';

	var ZERO_MAC = '00:00:00:00:00:00';
	// The largest page of the stations method.
	var PAGE = 512;

	function isObj(x) {
		return x !== null && typeof x === 'object' && !Array.isArray(x);
	}
	function arr(x) {
		return Array.isArray(x) ? x : [];
	}
	function str(x) {
		return typeof x === 'string' ? x : '';
	}
	function num(x) {
		return typeof x === 'number' && isFinite(x) ? x : null;
	}
	function mac(x) {
		x = str(x).toLowerCase();
		return /^([0-9a-f]{2}:){5}[0-9a-f]{2}$/.test(x) && x !== ZERO_MAC ? x : '';
	}
	// A signal in dBm; 0 and above, or -127 and below, is no reading.
	function dbm(x) {
		x = num(x);
		return x !== null && x < 0 && x > -127 ? x : null;
	}
	function ipKey(ip) {
		var p = str(ip).split('.');
		return p.length === 4 ? p.reduce(function (a, x) { return a * 256 + (+x || 0); }, 0) : Infinity;
	}

	// ---- DOM --------------------------------------------------------------

	function el(tag, attrs, kids) {
		var e = document.createElement(tag);
		Object.keys(attrs || {}).forEach(function (k) {
			var v = attrs[k];
			if (v === null || v === undefined || v === false)
				return;
			if (k === 'class')
				e.className = v;
			else if (k.slice(0, 2) === 'on')
				e.addEventListener(k.slice(2), v);
			else
				e.setAttribute(k, v === true ? '' : String(v));
		});
		add(e, kids);
		return e;
	}
	function add(e, kids) {
		if (kids === null || kids === undefined || kids === false)
			return;
		if (Array.isArray(kids))
			kids.forEach(function (k) { add(e, k); });
		else
			e.appendChild(typeof kids === 'object' ? kids : document.createTextNode(String(kids)));
	}
	function svg(tag, attrs) {
		var e = document.createElementNS('http://www.w3.org/2000/svg', tag);
		Object.keys(attrs || {}).forEach(function (k) { e.setAttribute(k, String(attrs[k])); });
		return e;
	}

	var CSS = [
		'.acm{font-size:14px;line-height:1.35;position:relative}',
		'.acm *{box-sizing:border-box}',
		'.acm-msg{padding:12px 14px;border:1px solid rgba(200,60,40,.6);background:rgba(200,60,40,.08);border-radius:6px;margin:8px 0}',
		'.acm-note{opacity:.75;margin:4px 0}',
		'.acm-top{display:flex;flex-wrap:wrap;gap:6px 16px;margin:0 0 8px;opacity:.85}',
		'.acm-marks{list-style:none;margin:0 0 10px;padding:0}',
		'.acm-marks li{padding:3px 0 3px 26px;position:relative;overflow-wrap:anywhere}',
		'.acm-marks li .acm-g{position:absolute;left:2px;top:2px}',
		'.acm-marks summary{cursor:pointer;opacity:.8}',
		'.acm-g{display:inline-block;width:18px;text-align:center;font-weight:bold}',
		'.acm-k-steer .acm-g,.acm-arrow{color:#1f6fd1;stroke:#1f6fd1}',
		'.acm-k-no_steer .acm-g{color:#a86b00}',
		'.acm-k-disconnect .acm-g,.acm-k-duplicate .acm-g{color:#c0392b}',
		'.acm-k-radar .acm-g{color:#c0392b}',
		'.acm-wrap{position:relative}',
		'.acm-grid{display:grid;grid-template-columns:repeat(auto-fill,minmax(min(100%,260px),1fr));gap:16px;align-items:start}',
		'.acm-box{border:1px solid rgba(127,127,127,.45);border-radius:8px;background:rgba(127,127,127,.06);min-width:0}',
		'.acm-box>header{padding:8px 10px;border-bottom:1px solid rgba(127,127,127,.3)}',
		'.acm-box>header b{font-size:15px}',
		'.acm-sub{opacity:.75;font-size:12px;overflow-wrap:anywhere}',
		'.acm-state{float:right;font-size:12px;padding:0 6px;border-radius:9px;background:rgba(40,160,80,.18)}',
		'.acm-down{border-style:dashed;opacity:.6}',
		'.acm-down .acm-state,.acm-gone .acm-state{background:rgba(200,60,40,.2)}',
		'.acm-gone{border-style:dotted;opacity:.55}',
		'.acm-radar{margin:6px 10px 0;padding:4px 8px;border-radius:5px;background:rgba(200,60,40,.15);font-weight:bold}',
		'.acm-bss{padding:6px 10px 8px}',
		'.acm-bss+.acm-bss{border-top:1px dashed rgba(127,127,127,.3)}',
		'.acm-bh{font-size:13px;overflow-wrap:anywhere}',
		'.acm-bh b{font-weight:600}',
		'.acm-stas{display:flex;flex-wrap:wrap;gap:4px;margin-top:5px}',
		'.acm-none{opacity:.6;font-size:12px;padding:6px 10px}',
		'.acm-sta{font:inherit;font-size:13px;color:inherit;background:rgba(127,127,127,.1);border:1px solid rgba(127,127,127,.4);' +
			'border-left:4px solid #999;border-radius:4px;padding:1px 6px;cursor:pointer;max-width:100%;overflow-wrap:anywhere;text-align:left}',
		'.acm-sta:hover,.acm-sel{outline:2px solid #1f6fd1}',
		'.acm-q-good{border-left-color:#2e9d4f}',
		'.acm-q-fair{border-left-color:#d9a400}',
		'.acm-q-weak{border-left-color:#d0452f}',
		'.acm-dbm{opacity:.8;margin-left:5px;font-size:12px}',
		'.acm-sta .acm-g{width:auto;margin-left:4px}',
		'.acm-ghost{border-style:dashed;opacity:.7;text-decoration:line-through}',
		'.acm-ghost .acm-g{text-decoration:none}',
		'.acm-arrows{position:absolute;left:0;top:0;pointer-events:none;overflow:visible}',
		'.acm-arrow{fill:none;stroke-width:2.5;opacity:.85}',
		'.acm-detail{grid-column:1/-1;border:1px solid rgba(31,111,209,.6);border-radius:8px;padding:8px 12px;margin:0 0 12px;background:rgba(31,111,209,.06)}',
		'.acm-detail h4{margin:0 0 4px;font-size:15px}',
		'.acm-detail button{float:right;font:inherit}',
		'.acm-facts{margin:0 0 6px;overflow-wrap:anywhere}',
		'.acm-table{width:100%;border-collapse:collapse;font-size:13px;table-layout:fixed}',
		'.acm-c-when{width:7.5em}.acm-c-sta{width:11em}.acm-c-kind{width:9.5em}',
		'.acm-table th,.acm-table td{text-align:left;vertical-align:top;padding:3px 6px;border-bottom:1px solid rgba(127,127,127,.25)}',
		'.acm-table td:last-child{overflow-wrap:anywhere}',
		'.acm-table td:first-child{white-space:nowrap}',
		'@media (max-width:600px){.acm-table thead{display:none}.acm-table tr{display:block;padding:4px 0;border-bottom:1px solid rgba(127,127,127,.25)}' +
			'.acm-table td{display:inline;border:0;padding:0 6px 0 0}.acm-table td:last-child{display:block}}'
	].join('\n');

	function style(doc) {
		if (doc.getElementById('acm-style'))
			return;
		var s = doc.createElement('style');
		s.id = 'acm-style';
		s.textContent = CSS;
		(doc.head || doc.documentElement).appendChild(s);
	}

	// ---- texts ------------------------------------------------------------

	var BUS_STATUS = {
		3: 'method not found', 4: 'not found', 5: 'no data', 6: 'permission denied',
		7: 'time-out', 8: 'not supported', 9: 'unknown error', 10: 'connection failed'
	};

	// Why a reply is no reply, or ''.
	function failure(r) {
		if (isObj(r))
			return '';
		if (typeof r === 'number')
			return 'bus status ' + r + (BUS_STATUS[r] ? ' (' + BUS_STATUS[r] + ')' : '');
		return 'no answer';
	}

	// What stands instead of the mesh when the status cannot be had.
	function problem(r) {
		if (!isObj(r))
			return 'No data.';
		if (r.error)
			return 'No answer from the mesh controller: ' + String(r.error);
		var st = r.status;
		if (st === 4 || st === 3)
			return 'The mesh controller (aircoord) is not running: its object is not on the bus. ' +
				'Start it with /etc/init.d/aircoord start, and see logread for why it stopped.';
		if (st === 6)
			return 'This login may not read the mesh controller\'s state (access denied).';
		if (st === 7)
			return 'The mesh controller does not answer (time-out): it may be waiting for a box that does not answer.';
		if (!isObj(st) || !Array.isArray(st.nodes))
			return 'The mesh controller gave no status: ' + failure(st) + '.';
		return '';
	}

	function duration(s) {
		s = Math.max(0, Math.round(s));
		if (s < 60)
			return s + ' s';
		if (s < 3600)
			return Math.floor(s / 60) + ' min ' + (s % 60) + ' s';
		if (s < 86400)
			return Math.floor(s / 3600) + ' h ' + Math.floor(s % 3600 / 60) + ' min';
		return Math.floor(s / 86400) + ' d ' + Math.floor(s % 86400 / 3600) + ' h';
	}

	// When a decision was made: "5 min ago" against the uptime, or the
	// controller's own clock ("7 s") with opts.clock === 'uptime'.
	function when(h, m, opts) {
		if (h.time === null)
			return '';
		if (opts.clock === 'uptime' || m.uptime === null)
			return duration(h.time);
		return m.uptime - h.time < 1 ? 'now' : duration(m.uptime - h.time) + ' ago';
	}

	// The operating class tells the band; the channel number only where
	// the class is not one of the three bands'.
	function band(ch, opclass) {
		if (opclass >= 81 && opclass <= 84)
			return '2.4 GHz';
		if (opclass >= 115 && opclass <= 130)
			return '5 GHz';
		if (opclass >= 131 && opclass <= 137)
			return '6 GHz';
		if (ch === null)
			return '';
		return ch <= 14 ? '2.4 GHz' : '5 GHz';
	}

	function quality(rssi) {
		if (rssi === null)
			return '';
		return rssi >= -60 ? 'good' : rssi >= -70 ? 'fair' : 'weak';
	}

	var GLYPH = {
		steer: '\u2197', no_steer: '\u2298', disconnect: '\u2715', duplicate: '\u2715',
		radar: '\u26a0', channel_restore: '\u21ba', node_added: '+', node_removed: '\u2212'
	};
	var VERB = {
		steer: 'steered', no_steer: 'not steered', disconnect: 'dropped', duplicate: 'removed copy',
		radar: 'radar', channel_restore: 'channel restored', node_added: 'box found', node_removed: 'box left'
	};

	// ---- the model --------------------------------------------------------

	// The replies made into boxes with their BSSes and stations, the
	// decisions, and which of them to mark. `r` is {status, stations,
	// history} (each a reply, or a number: the bus status of a failed call),
	// or {error: text}. `opts`: boxes {prefix: {name, type}}, names {mac:
	// name}, marks (indexes into the history), recent (seconds of decisions
	// marked when no marks are given; 300).
	function model(r, opts) {
		opts = opts || {};
		var m = {
			problem: problem(r), notes: [], boxes: [], stray: [], bss: {}, sta: {},
			history: [], marks: [], arrows: [], uptime: null, radar: null, watch: []
		};
		if (m.problem)
			return m;
		var st = r.status;
		var boxes = isObj(opts.boxes) ? opts.boxes : {};
		var names = isObj(opts.names) ? opts.names : {};
		m.uptime = num(st.uptime);
		arr(st.nodes).forEach(function (n) {
			if (!isObj(n))
				return;
			var prefix = str(n.prefix);
			var info = isObj(boxes[prefix]) ? boxes[prefix] : {};
			var box = {
				prefix: prefix, local: prefix === '', ip: str(n.ip), mac: mac(n.mac),
				name: str(info.name) || prefix || 'router',
				type: str(n.type) || str(info.type) || (prefix === '' ? 'router' : 'remote box'),
				responsive: n.responsive !== false, depth: num(n.depth), backhaul: str(n.backhaul),
				bss: []
			};
			arr(n.bss).forEach(function (b) {
				if (!isObj(b))
					return;
				var x = {
					box: box, ifname: str(b.ifname), ssid: str(b.ssid), bssid: mac(b.bssid),
					channel: num(b.channel), opclass: num(b.opclass), stations: [], ghosts: []
				};
				x.name = box.name + '/' + x.ifname;
				box.bss.push(x);
				if (x.bssid && !m.bss[x.bssid])
					m.bss[x.bssid] = x;
			});
			box.bss.sort(function (a, b) { return a.ifname < b.ifname ? -1 : a.ifname > b.ifname; });
			m.boxes.push(box);
		});
		m.boxes.sort(function (a, b) {
			return a.local !== b.local ? (a.local ? -1 : 1) : ipKey(a.prefix) - ipKey(b.prefix) || (a.name < b.name ? -1 : 1);
		});
		if (isObj(st.radar_hold))
			m.radar = {channel: num(st.radar_hold.channel), remaining: num(st.radar_hold.remaining)};
		arr(st.watchlist).forEach(function (w) {
			if (!isObj(w))
				return;
			var info = isObj(boxes[str(w.ip)]) ? boxes[str(w.ip)] : {};
			m.watch.push({ip: str(w.ip), name: str(info.name) || str(w.ip), next: num(w.next_in)});
		});

		function staName(a) {
			return str(names[a]) || a;
		}
		if (isObj(r.stations)) {
			arr(r.stations.stations).forEach(function (s) {
				var a = isObj(s) && mac(s.sta);
				if (!a || m.sta[a])
					return;
				var x = {
					mac: a, name: staName(a), bssid: mac(s.bssid), old: mac(s.old_bssid),
					rssi: dbm(s.rssi), nbr: mac(s.best_nbr_bssid), nbrRssi: dbm(s.best_nbr_rssi),
					age: num(s.age), history: [], marks: []
				};
				m.sta[a] = x;
				(m.bss[x.bssid] ? m.bss[x.bssid].stations : m.stray).push(x);
			});
		} else if (r.stations !== undefined) {
			m.notes.push('Stations: ' + failure(r.stations) + '.');
		}
		var order = function (a, b) { return a.name < b.name ? -1 : a.name > b.name ? 1 : a.mac < b.mac ? -1 : 1; };
		m.stray.sort(order);
		Object.keys(m.bss).forEach(function (k) { m.bss[k].stations.sort(order); });

		if (isObj(r.history)) {
			arr(r.history.history).forEach(function (e, i) {
				if (!isObj(e))
					return;
				var h = {
					index: i, time: num(e.time), kind: str(e.kind) || 'decision', sta: mac(e.sta),
					bssid: mac(e.bssid), target: mac(e.target), reason: str(e.reason)
				};
				h.name = h.sta ? staName(h.sta) : '';
				m.history.push(h);
				if (m.sta[h.sta])
					m.sta[h.sta].history.push(h);
			});
		} else if (r.history !== undefined) {
			m.notes.push('Decisions: ' + failure(r.history) + '.');
		}

		if (Array.isArray(opts.marks)) {
			var byIndex = {};
			m.history.forEach(function (h) { byIndex[h.index] = h; });
			m.marks = opts.marks.map(function (i) { return byIndex[i]; }).filter(Boolean);
		} else {
			var since = m.uptime === null ? -Infinity : m.uptime - (num(opts.recent) || 300);
			m.marks = m.history.filter(function (h) { return h.time === null || h.time >= since; });
		}
		m.marks.forEach(function (h) {
			var s = m.sta[h.sta], from = m.bss[h.bssid];
			if (s && (h.kind === 'steer' || h.kind === 'no_steer'))
				s.marks.push(h);
			if (from && (h.kind === 'disconnect' || h.kind === 'duplicate') &&
			    !from.stations.some(function (x) { return x.mac === h.sta; }))
				from.ghosts.push(h);
			if (h.kind === 'steer' && from && m.bss[h.target] && from !== m.bss[h.target])
				m.arrows.push(h);
		});
		return m;
	}

	// ---- drawing ----------------------------------------------------------

	// Stations dropped from a BSS drawn there at most; the rest are counted.
	var GHOSTS = 6;

	function describe(h, m) {
		var bssName = function (b) { return m.bss[b] ? m.bss[b].name : b; };
		var what = VERB[h.kind] || h.kind;
		if (h.name)
			what += ' ' + h.name;
		if (h.kind === 'steer' && h.bssid && h.target)
			what += ' ' + bssName(h.bssid) + ' \u2192 ' + bssName(h.target);
		else if ((h.kind === 'disconnect' || h.kind === 'duplicate') && h.bssid)
			what += ' from ' + bssName(h.bssid);
		return what;
	}

	function staTitle(s, m) {
		var t = s.mac + (s.rssi !== null ? ', ' + s.rssi + ' dBm' : ', no signal heard yet');
		if (s.age !== null)
			t += ', heard ' + duration(s.age) + ' ago';
		var last = s.history[s.history.length - 1];
		if (last)
			t += '\n' + (VERB[last.kind] || last.kind) + ': ' + last.reason;
		return t;
	}

	function chip(s, m, sel, pick) {
		var q = quality(s.rssi);
		return el('button', {
			'class': 'acm-sta' + (q ? ' acm-q-' + q : '') + (sel === s.mac ? ' acm-sel' : ''),
			'data-sta': s.mac, type: 'button', title: staTitle(s, m),
			onclick: function () { pick(sel === s.mac ? '' : s.mac); }
		}, [
			el('span', {'class': 'acm-n'}, s.name),
			el('span', {'class': 'acm-dbm'}, s.rssi !== null ? s.rssi + ' dBm' : '? dBm'),
			s.marks.map(function (h) {
				return el('span', {'class': 'acm-g acm-k-' + h.kind, title: h.reason}, GLYPH[h.kind] || '\u2022');
			})
		]);
	}

	function ghost(h, pick) {
		return el('button', {
			'class': 'acm-sta acm-ghost acm-k-' + h.kind, 'data-ghost': h.sta, type: 'button',
			title: (VERB[h.kind] || h.kind) + ': ' + h.reason,
			onclick: function () { pick(h.sta); }
		}, [el('span', {'class': 'acm-n'}, h.name), el('span', {'class': 'acm-g'}, GLYPH[h.kind])]);
	}

	function boxCard(box, m, sel, pick) {
		var sub = [box.type];
		if (box.prefix)
			sub.push(box.prefix);
		if (box.mac)
			sub.push(box.mac);
		if (box.depth !== null && box.depth >= 0)
			sub.push('depth ' + box.depth);
		if (box.backhaul)
			sub.push(box.backhaul + ' backhaul');
		return el('section', {'class': 'acm-box' + (box.responsive ? '' : ' acm-down'), 'data-box': box.prefix}, [
			el('header', null, [
				el('span', {'class': 'acm-state'}, box.responsive ? 'answers' : 'not answering'),
				el('b', null, box.name),
				el('div', {'class': 'acm-sub'}, sub.join(' \u00b7 '))
			]),
			box.local && m.radar ? el('div', {'class': 'acm-radar'},
				'\u26a0 radar hold: channel ' + m.radar.channel +
				(m.radar.remaining !== null ? ', ' + duration(m.radar.remaining) + ' left' : '')) : null,
			box.bss.length ? box.bss.map(function (b) {
				var head = [el('b', null, b.ifname || '?')];
				var facts = [band(b.channel, b.opclass), b.channel !== null ? 'ch ' + b.channel : ''].filter(Boolean);
				if (facts.length)
					head.push(' \u00b7 ' + facts.join(' '));
				head.push(' \u00b7 \u201c' + b.ssid + '\u201d');
				return el('div', {'class': 'acm-bss', 'data-bssid': b.bssid}, [
					el('div', {'class': 'acm-bh', title: b.bssid}, head),
					b.stations.length || b.ghosts.length ? el('div', {'class': 'acm-stas'}, [
						b.stations.map(function (s) { return chip(s, m, sel, pick); }),
						b.ghosts.slice(-GHOSTS).map(function (h) { return ghost(h, pick); }),
						b.ghosts.length > GHOSTS ? el('span', {'class': 'acm-note'},
							(b.ghosts.length - GHOSTS) + ' more dropped') : null
					]) : el('div', {'class': 'acm-note'}, 'no stations')
				]);
			}) : el('div', {'class': 'acm-none'}, 'no BSS reported')
		]);
	}

	// `more` keeps whether the older marks are unfolded across redraws.
	function marksList(m, more) {
		if (!m.marks.length)
			return null;
		var item = function (h) {
			return el('li', {'class': 'acm-k-' + h.kind, title: h.reason}, [
				el('span', {'class': 'acm-g'}, GLYPH[h.kind] || '\u2022'),
				el('b', null, describe(h, m)), ': ' + h.reason
			]);
		};
		var recent = m.marks.slice().reverse();
		var shown = recent.slice(0, 4), rest = recent.slice(4);
		return el('ul', {'class': 'acm-marks'}, [
			shown.map(item),
			rest.length ? el('li', null, el('details', {open: more.open, ontoggle: function () { more.open = this.open; }}, [
				el('summary', null, rest.length + ' more'), el('ul', {'class': 'acm-marks'}, rest.map(item))
			])) : null
		]);
	}

	function decisionRows(list, m, opts, withSta) {
		return list.slice().reverse().map(function (h) {
			return el('tr', {'class': 'acm-k-' + h.kind}, [
				el('td', {'class': 'acm-c-when'}, when(h, m, opts)),
				withSta ? el('td', {'class': 'acm-c-sta'}, h.name || '\u2014') : null,
				el('td', {'class': 'acm-c-kind'}, [el('span', {'class': 'acm-g'}, GLYPH[h.kind] || ''), h.kind]),
				el('td', null, h.reason)
			]);
		});
	}

	// Every decision, newest first: time, station (unless opts.station is
	// false), kind, reason.
	function decisionsTable(m, opts) {
		opts = opts || {};
		var withSta = opts.station !== false;
		if (!m.history.length)
			return el('p', {'class': 'acm-note'}, 'No decisions yet.');
		return el('table', {'class': 'acm-table acm-decisions'}, [
			el('thead', null, el('tr', null, [['When', 'when'], withSta ? ['Station', 'sta'] : null, ['Kind', 'kind'], ['Reason', '']]
				.filter(Boolean).map(function (t) { return el('th', {'class': t[1] && 'acm-c-' + t[1]}, t[0]); }))),
			el('tbody', null, decisionRows(m.history, m, opts, withSta))
		]);
	}

	function detail(mac, m, opts, pick) {
		var s = m.sta[mac];
		var hist = s ? s.history : m.history.filter(function (h) { return h.sta === mac; });
		var name = s ? s.name : hist.length ? hist[0].name : mac;
		var bssName = function (b) { return m.bss[b] ? m.bss[b].name : b; };
		var facts = [];
		if (s) {
			facts.push('on ' + (s.bssid ? bssName(s.bssid) : 'no BSS'));
			facts.push(s.rssi !== null ? 'signal ' + s.rssi + ' dBm' : 'no signal heard yet');
			if (s.age !== null)
				facts.push('heard ' + duration(s.age) + ' ago');
			if (s.old)
				facts.push('before: ' + bssName(s.old));
			if (s.nbr)
				facts.push('best neighbor ' + bssName(s.nbr) + (s.nbrRssi !== null ? ' at ' + s.nbrRssi + ' dBm' : ''));
		} else {
			facts.push('not associated now');
		}
		return el('div', {'class': 'acm-detail', 'data-detail': mac}, [
			el('button', {type: 'button', onclick: function () { pick(''); }}, 'close'),
			el('h4', null, name === mac ? mac : name + ' \u00b7 ' + mac),
			el('p', {'class': 'acm-facts'}, facts.join(' \u00b7 ')),
			hist.length ? el('table', {'class': 'acm-table'}, el('tbody', null, decisionRows(hist, m, opts, false)))
				: el('p', {'class': 'acm-note'}, 'No decisions about this station.')
		]);
	}

	// The steers as arrows from the BSS left to the target, over the grid.
	function drawArrows(wrap, m) {
		var old = wrap.querySelector('.acm-arrows');
		if (old)
			old.remove();
		if (!m.arrows.length || !wrap.isConnected)
			return;
		var base = wrap.getBoundingClientRect();
		var layer = svg('svg', {'class': 'acm-arrows', width: base.width, height: base.height});
		var defs = svg('defs');
		var head = svg('marker', {id: 'acm-head', viewBox: '0 0 10 10', refX: 9, refY: 5, markerWidth: 7, markerHeight: 7, orient: 'auto'});
		head.appendChild(svg('path', {d: 'M0,0 L10,5 L0,10 z', fill: '#1f6fd1'}));
		defs.appendChild(head);
		layer.appendChild(defs);
		var find = function (bssid) {
			var e = wrap.querySelector('[data-bssid="' + bssid + '"] .acm-bh');
			return e && e.getBoundingClientRect();
		};
		m.arrows.forEach(function (h) {
			var a = find(h.bssid), b = find(h.target);
			if (!a || !b)
				return;
			var ay = a.top + a.height / 2 - base.top, by = b.top + b.height / 2 - base.top;
			var ax, bx, d;
			if (b.left >= a.right) {        // target to the right
				ax = a.right - base.left + 8; bx = b.left - base.left - 2;
				d = 'M' + ax + ',' + ay + ' C' + (ax + 30) + ',' + ay + ' ' + (bx - 30) + ',' + by + ' ' + bx + ',' + by;
			} else if (b.right <= a.left) { // to the left
				ax = a.left - base.left - 8; bx = b.right - base.left + 2;
				d = 'M' + ax + ',' + ay + ' C' + (ax - 30) + ',' + ay + ' ' + (bx + 30) + ',' + by + ' ' + bx + ',' + by;
			} else {                        // same column: along its right edge
				ax = a.right - base.left - 6; bx = b.right - base.left - 6;
				var out = Math.min(ax, bx) - 26;
				d = 'M' + ax + ',' + ay + ' C' + out + ',' + ay + ' ' + out + ',' + by + ' ' + bx + ',' + by;
			}
			var p = svg('path', {'class': 'acm-arrow', d: d, 'marker-end': 'url(#acm-head)', 'data-steer': h.sta});
			var t = svg('title');
			t.textContent = describe(h, m);
			p.appendChild(t);
			layer.appendChild(p);
		});
		wrap.appendChild(layer);
	}

	// The details of the picked station go right under the row of boxes
	// that holds it, where the click was; above the boxes when it is on
	// none.
	function placeDetail(wrap, det, sta) {
		var grid = wrap.firstChild;
		var chip = grid.querySelector('[data-sta="' + sta + '"]') || grid.querySelector('[data-ghost="' + sta + '"]');
		var card = chip && chip.closest('.acm-box');
		if (det.parentNode)
			det.parentNode.removeChild(det);
		if (!card) {
			wrap.insertBefore(det, grid);
			return;
		}
		var last = card;
		for (var n = card.nextElementSibling; n && n.offsetTop === card.offsetTop; n = n.nextElementSibling)
			last = n;
		grid.insertBefore(det, last.nextSibling);
	}

	// A drawing in `container` that follows the replies given to update().
	// A station picked by a click stays picked across updates. `opts` as for
	// model(), plus clock: 'uptime' to give decision times on the
	// controller's clock instead of as ages.
	function view(container, opts) {
		style(container.ownerDocument);
		var v = {opts: opts || {}, selected: '', model: null, more: {open: false}};
		var rootEl = el('div', {'class': 'acm'});
		var wrap = null, det = null;
		var replies = null, extra = {};
		container.appendChild(rootEl);

		function pick(a) {
			v.selected = a;
			draw();
			if (det && det.scrollIntoView)
				det.scrollIntoView({block: 'nearest'});
		}
		function place() {
			if (!wrap || !v.model)
				return;
			if (det)
				placeDetail(wrap, det, v.selected);
			drawArrows(wrap, v.model);
		}
		function draw() {
			var o = Object.assign({}, v.opts, extra);
			var m = model(replies, o);
			v.model = m;
			rootEl.textContent = '';
			if (m.problem) {
				rootEl.appendChild(el('div', {'class': 'acm-msg'}, m.problem));
				wrap = det = null;
				return;
			}
			var top = [];
			if (m.uptime !== null)
				top.push('controller up ' + duration(m.uptime));
			top.push(m.boxes.length + (m.boxes.length === 1 ? ' box' : ' boxes'));
			top.push(Object.keys(m.sta).length + ' stations');
			m.watch.forEach(function (w) {
				top.push(w.name + ' gone: watched for radar' + (w.next !== null ? ', next look in ' + duration(w.next) : ''));
			});
			add(rootEl, [
				el('div', {'class': 'acm-top'}, top.map(function (t) { return el('span', null, t); })),
				m.notes.map(function (t) { return el('p', {'class': 'acm-note'}, t); }),
				marksList(m, v.more)
			]);
			var cards = m.boxes.map(function (b) { return boxCard(b, m, v.selected, pick); });
			if (m.stray.length) {
				cards.push(el('section', {'class': 'acm-box acm-gone'}, [
					el('header', null, [el('b', null, 'elsewhere'),
						el('div', {'class': 'acm-sub'}, 'stations on a BSS no box reports now')]),
					el('div', {'class': 'acm-bss'}, el('div', {'class': 'acm-stas'},
						m.stray.map(function (s) { return chip(s, m, v.selected, pick); })))
				]));
			}
			if (!m.boxes.length)
				rootEl.appendChild(el('p', {'class': 'acm-msg'}, 'The controller knows no box yet: no Wi-Fi agent has shown up on the bus.'));
			wrap = el('div', {'class': 'acm-wrap'}, el('div', {'class': 'acm-grid'}, cards));
			det = v.selected ? detail(v.selected, m, o, pick) : null;
			rootEl.appendChild(wrap);
			place();
		}
		// Replies as for model(); `more` adds options for this update only.
		v.update = function (r, more) {
			replies = r;
			extra = more || {};
			draw();
		};
		v.select = pick;
		window.addEventListener('resize', place);
		return v;
	}

	// The router's status page: the mesh, then every decision as a table,
	// or one message when the controller cannot be asked.
	function page(container, opts) {
		var mesh = el('div');
		var table = el('div');
		container.appendChild(mesh);
		container.appendChild(table);
		var v = view(mesh, opts);
		return {
			view: v,
			update: function (r) {
				v.update(r);
				table.textContent = '';
				if (!v.model.problem)
					add(table, [el('h3', null, 'Decisions'), decisionsTable(v.model, v.opts)]);
			}
		};
	}

	// Every station record: `call(offset, limit)` returns a promise of one
	// page of the stations method. Pages are asked for until the offset
	// reaches the total; a failed call gives its status (the records so far
	// are dropped, as a partial list would show stations missing).
	function fetchStations(call, limit) {
		var all = [];
		limit = limit || PAGE;
		function next(offset) {
			return Promise.resolve(call(offset, limit)).then(function (r) {
				if (!isObj(r) || !Array.isArray(r.stations))
					return r;
				all = all.concat(r.stations);
				var total = num(r.total) === null ? all.length : r.total;
				var at = (num(r.offset) === null ? offset : r.offset) + r.stations.length;
				if (r.stations.length && at < total && at > offset)
					return next(at);
				return {stations: all, offset: 0, total: all.length};
			});
		}
		return next(0);
	}

	// ---- settings ---------------------------------------------------------

	// Every option of /etc/config/aircoord (section 'main'), with the range
	// the controller takes. kind: int (min..max), choice (values), flag,
	// macs (at most max addresses). `service` options are the init
	// script's, not the controller's.
	var OPTIONS = [
		{name: 'enabled', kind: 'flag', default: 1, service: true, title: 'Enabled',
			description: 'Run the mesh controller.'},
		{name: 'steer_rssi_threshold', kind: 'int', min: -95, max: -40, default: -65, title: 'Steering threshold (dBm)',
			description: 'Steer a station only when the signal it is reported at is below this.'},
		{name: 'steer_rssi_margin', kind: 'int', min: 0, max: 40, default: 8, title: 'Steering margin (dB)',
			description: 'Steer only towards a BSS that hears the station more than this much stronger.'},
		{name: 'steer_max_age', kind: 'int', min: 1, max: 300, default: 30, title: 'Measurement age (s)',
			description: 'Use only measurements of a neighbor BSS younger than this.'},
		{name: 'neighbor_interval', kind: 'int', min: 2, max: 3600, default: 10, title: 'Neighbor list interval (s)',
			description: 'How often every box is handed the neighbor list of all other BSSes.'},
		{name: 'bss_refresh_interval', kind: 'int', min: 5, max: 3600, default: 30, title: 'BSS refresh interval (s)',
			description: 'How often every box is asked for its BSSes.'},
		{name: 'cmd_timeout', kind: 'int', min: 1, max: 30, default: 8, title: 'Command time-out (s)',
			description: 'How long a box has to answer a command.'},
		{name: 'radar_channel', kind: 'choice', values: [36, 40, 44, 48, 149, 153, 157, 161], default: 36,
			title: 'Radar fallback channel', description: 'Where the router goes when a vanished extender saw radar: a 5 GHz channel without radar detection.'},
		{name: 'radar_hold', kind: 'int', min: 60, max: 86400, default: 3600, title: 'Radar hold (s)',
			description: 'How long the router stays on the fallback channel.'},
		{name: 'steering', kind: 'flag', default: 1, title: 'Steering',
			description: 'Steer weak stations to a clearly better BSS.'},
		{name: 'roam_cleanup', kind: 'flag', default: 1, title: 'Roaming clean-up',
			description: 'Drop a station that roamed from the BSS it left.'},
		{name: 'duplicate_removal', kind: 'flag', default: 1, title: 'Duplicate removal',
			description: 'Drop the copies of a client that repeaters make.'},
		{name: 'steer_exclude_extra', kind: 'macs', max: 8, title: 'Never steer',
			description: 'Stations that are never steered (at most 8).'}
	];

	// The settings form: one option of the web interface's form library
	// (`form`) per entry of OPTIONS, in section `s`.
	function buildSettings(form, s) {
		OPTIONS.forEach(function (o) {
			var w = {flag: form.Flag, choice: form.ListValue, macs: form.DynamicList}[o.kind] || form.Value;
			var opt = s.option(w, o.name, o.title, o.description);
			if (o.kind === 'int') {
				// The init script passes on whole numbers only.
				opt.datatype = 'and(integer,range(' + o.min + ',' + o.max + '))';
				opt.placeholder = String(o.default);
			} else if (o.kind === 'choice') {
				opt.datatype = 'uinteger';
				o.values.forEach(function (x) { opt.value(String(x), String(x)); });
			} else if (o.kind === 'macs') {
				opt.datatype = 'macaddr';
			}
			if (o.default !== undefined)
				opt.default = String(o.default);
			// An unticked flag is written as 0: removed, it would read as
			// its default, which is on.
			opt.rmempty = o.kind === 'int' || o.kind === 'macs';
		});
	}

	root.AircoordMesh = {
		model: model,
		view: view,
		page: page,
		decisionsTable: decisionsTable,
		fetchStations: fetchStations,
		options: OPTIONS,
		buildSettings: buildSettings,
		duration: duration
	};
})(typeof window !== 'undefined' ? window : this);

// The page of a simulator report: the mesh after each timeline step (a
// slider), the timeline beside it, each station's decisions and the
// expectations' verdicts. Draws with AircoordMesh (meshview.js), which the
// report carries before this file; the data is the report's JSON.
(function (root) {
	'use strict';

	var CSS = [
		'body{margin:0;font:14px/1.4 system-ui,sans-serif;color:#1d232b;background:#fbfbfc}',
		'.rp-head{padding:12px 18px;background:#24323f;color:#fff}',
		'.rp-head h1{font-size:19px;margin:0 0 4px}',
		'.rp-head p{margin:0;opacity:.85;max-width:80em}',
		'.rp-res{display:inline-block;font-weight:bold;padding:1px 8px;border-radius:9px;margin-left:8px;font-size:14px}',
		'.rp-pass{background:#2e9d4f;color:#fff}.rp-fail{background:#d0452f;color:#fff}',
		'.rp-nav{position:sticky;top:0;z-index:2;display:flex;flex-wrap:wrap;align-items:center;gap:6px 10px;padding:8px 18px;' +
			'background:#eef1f4;border-bottom:1px solid #cfd6dd}',
		'.rp-nav input{flex:1 1 200px;min-width:0}',
		'.rp-nav button{font:inherit;padding:2px 10px}',
		'.rp-step{flex:1 1 100%;font-weight:600;overflow-wrap:anywhere}',
		'.rp-main{display:grid;grid-template-columns:minmax(0,1fr);gap:18px;padding:12px 18px}',
		'@media (min-width:1000px){.rp-main{grid-template-columns:minmax(0,1fr) 360px}}',
		'.rp-tl{list-style:none;margin:0;padding:0;font:12px/1.45 ui-monospace,monospace;max-height:80vh;overflow:auto;' +
			'border:1px solid #cfd6dd;border-radius:6px;background:#fff}',
		'.rp-tl li{padding:1px 8px;cursor:pointer;white-space:pre-wrap;overflow-wrap:anywhere}',
		'.rp-tl .rp-now{background:#fff3c4}',
		'.rp-tl .rp-later{opacity:.4}',
		'section.rp{padding:0 18px 12px}',
		'section.rp h2{font-size:17px;margin:14px 0 6px}',
		'section.rp h3{font-size:14px;margin:10px 0 4px}',
		'.rp-v{list-style:none;padding:0;margin:0}',
		'.rp-v li{padding:2px 0;overflow-wrap:anywhere}',
		'.rp-v b{display:inline-block;width:3.2em}',
		'.rp-v .rp-ok{color:#2e9d4f}.rp-v .rp-bad{color:#d0452f}'
	].join('\n');

	function el(tag, attrs, kids) {
		var e = document.createElement(tag);
		Object.keys(attrs || {}).forEach(function (k) {
			if (k === 'class')
				e.className = attrs[k];
			else if (k.slice(0, 2) === 'on')
				e.addEventListener(k.slice(2), attrs[k]);
			else
				e.setAttribute(k, attrs[k]);
		});
		[].concat(kids === undefined ? [] : kids).forEach(function (k) {
			if (k !== null && k !== undefined)
				e.appendChild(typeof k === 'object' ? k : document.createTextNode(String(k)));
		});
		return e;
	}

	function stamp(t) {
		return t < 0 ? '[ start ]' : '[' + ('      ' + t.toFixed(1)).slice(-6) + 's]';
	}

	// The decisions of `now` that `before` did not hold yet (the ring may
	// have dropped old ones meanwhile): indexes into now's history.
	function fresh(before, now) {
		var key = function (e) { return [e.time, e.kind, e.sta, e.bssid, e.target, e.reason].join('|'); };
		var seen = Object.create(null);
		var list = function (r) { return r && typeof r === 'object' && Array.isArray(r.history) ? r.history : []; };
		list(before).forEach(function (e) { seen[key(e)] = (seen[key(e)] || 0) + 1; });
		var out = [];
		list(now).forEach(function (e, i) {
			if (seen[key(e)])
				seen[key(e)]--;
			else
				out.push(i);
		});
		return out;
	}

	function show(container, data) {
		var M = root.AircoordMesh;
		var steps = Array.isArray(data.steps) ? data.steps : [];
		var lines = Array.isArray(data.lines) ? data.lines : [];
		var verdicts = Array.isArray(data.verdicts) ? data.verdicts : [];
		var failed = verdicts.filter(function (v) { return !v.pass; }).length;
		var opts = {boxes: data.boxes || {}, names: data.names || {}, clock: 'uptime'};
		var s = document.createElement('style');
		s.textContent = CSS;
		document.head.appendChild(s);

		var slider = el('input', {type: 'range', min: 0, max: Math.max(0, steps.length - 1), step: 1, value: 0,
			'aria-label': 'timeline step', oninput: function () { go(+slider.value); }});
		var label = el('div', {'class': 'rp-step'});
		var meshEl = el('div', {'class': 'rp-mesh'});
		var tl = el('ol', {'class': 'rp-tl'});
		var items = lines.map(function (l) {
			var li = el('li', {onclick: function () { go(stepOf(l.t)); }}, stamp(l.t) + ' ' + l.text);
			tl.appendChild(li);
			return li;
		});
		document.title = 'aircoord-sim: ' + data.scenario;
		container.appendChild(el('header', {'class': 'rp-head'}, [
			el('h1', null, ['scenario ' + data.scenario,
				verdicts.length ? el('span', {'class': 'rp-res ' + (failed ? 'rp-fail' : 'rp-pass')},
					(failed ? 'FAIL' : 'PASS') + ' ' + (verdicts.length - failed) + ' of ' + verdicts.length) : null]),
			el('p', null, data.description || '')
		]));
		container.appendChild(el('nav', {'class': 'rp-nav'}, [
			el('button', {type: 'button', onclick: function () { go(cur - 1); }, 'aria-label': 'previous step'}, '\u25c0'),
			slider,
			el('button', {type: 'button', onclick: function () { go(cur + 1); }, 'aria-label': 'next step'}, '\u25b6'),
			label
		]));
		container.appendChild(el('div', {'class': 'rp-main'}, [meshEl, el('aside', null, tl)]));
		var view = M.view(meshEl, opts);

		function stepOf(t) {
			for (var i = 0; i < steps.length; i++)
				if (steps[i].t >= t)
					return i;
			return steps.length - 1;
		}
		// What a step shows: the first line said at its time.
		function labelOf(st) {
			if (st.end)
				return 'the end of the run, ' + st.t.toFixed(1) + ' s';
			if (st.at < 0)
				return 'after the start-up survey';
			var first = lines.filter(function (l) { return l.t >= st.at && l.t <= st.t; })[0];
			return st.at.toFixed(1) + ' s' + (first ? ': ' + first.text : '');
		}
		var cur = -1;
		function go(k) {
			if (!steps.length)
				return;
			k = Math.max(0, Math.min(steps.length - 1, k));
			cur = k;
			slider.value = k;
			var st = steps[k], prev = k ? steps[k - 1].t : -Infinity;
			var replies = st.status !== undefined ? {status: st.status, stations: st.stations, history: st.history}
				: {error: st.error || 'the controller did not answer'};
			var before = null;
			for (var j = k - 1; j >= 0 && !before; j--)
				before = steps[j].history;
			view.update(replies, {marks: fresh(before, st.history)});
			var first = null;
			items.forEach(function (li, i) {
				var t = lines[i].t;
				var now = t > prev && t <= st.t;
				li.className = now ? 'rp-now' : t > st.t ? 'rp-later' : '';
				if (now && !first)
					first = li;
			});
			label.textContent = 'step ' + (k + 1) + ' of ' + steps.length + ': ' + labelOf(st);
			if (first && tl.scrollHeight > tl.clientHeight)
				tl.scrollTop = first.offsetTop - tl.offsetTop - 8;
			if (root.history && root.history.replaceState)
				root.history.replaceState(null, '', '#' + (k + 1));
		}

		// Each station's decisions, from the last step.
		var last = steps.length ? M.model({status: steps[steps.length - 1].status,
			history: steps[steps.length - 1].history}, opts) : null;
		var dec = el('section', {'class': 'rp rp-decisions'}, el('h2', null, 'Decisions per station'));
		if (last && !last.problem) {
			var groups = Object.create(null), order = [];
			last.history.forEach(function (h) {
				var g = h.sta ? h.name : '(the mesh)';
				if (!groups[g]) {
					groups[g] = [];
					order.push(g);
				}
				groups[g].push(h);
			});
			order.sort(function (a, b) { return (a[0] === '(') - (b[0] === '(') || (a < b ? -1 : 1); });
			order.forEach(function (g) {
				dec.appendChild(el('h3', null, g));
				dec.appendChild(M.decisionsTable({history: groups[g], uptime: last.uptime}, {clock: 'uptime', station: false}));
			});
			if (!order.length)
				dec.appendChild(el('p', null, 'No decisions.'));
		} else {
			dec.appendChild(el('p', null, 'The controller gave no history.'));
		}
		container.appendChild(dec);
		container.appendChild(el('section', {'class': 'rp rp-verdicts'}, [
			el('h2', null, 'Expectations'),
			el('ul', {'class': 'rp-v'}, verdicts.map(function (v) {
				return el('li', {'class': v.pass ? 'rp-ok' : 'rp-bad'}, [
					el('b', null, v.pass ? 'PASS' : 'FAIL'), v.label + (!v.pass && v.why ? ' (' + v.why + ')' : '')
				]);
			}))
		]));

		// "#5" in the address shows step 5.
		var wanted = function () { return parseInt(String(root.location && root.location.hash || '').slice(1), 10); };
		root.addEventListener('hashchange', function () {
			if (wanted() > 0 && wanted() - 1 !== cur)
				go(wanted() - 1);
		});
		go(wanted() > 0 ? wanted() - 1 : steps.length - 1);
		return {go: go, steps: steps.length, current: function () { return cur; }};
	}

	root.AircoordReport = {show: show};
})(typeof window !== 'undefined' ? window : this);

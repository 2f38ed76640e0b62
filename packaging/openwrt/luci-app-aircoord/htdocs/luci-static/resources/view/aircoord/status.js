'use strict';
'require view';
'require rpc';
'require poll';

// The mesh as the controller sees it, refreshed every 5 s. Only the bus
// calls are made here; meshview.js, a plain script of this package, draws.

var callStatus = rpc.declare({ object: 'aircoord', method: 'status', expect: { '': {} } });
var callStations = rpc.declare({ object: 'aircoord', method: 'stations', params: [ 'offset', 'limit' ], expect: { '': {} } });
var callHistory = rpc.declare({ object: 'aircoord', method: 'history', expect: { '': {} } });

function loadRenderer() {
	if (window.AircoordMesh)
		return Promise.resolve();
	return new Promise(function(resolve, reject) {
		var s = document.createElement('script');
		s.src = '/luci-static/resources/aircoord/meshview.js';
		s.onload = resolve;
		s.onerror = function() { reject(new Error('cannot load ' + s.src)); };
		document.head.appendChild(s);
	});
}

// The three replies; a call that failed gives its bus status instead.
function fetchMesh() {
	return Promise.all([
		callStatus(),
		window.AircoordMesh.fetchStations(callStations),
		callHistory()
	]).then(function(r) {
		return { status: r[0], stations: r[1], history: r[2] };
	}, function(err) {
		return { error: err.message || String(err) };
	});
}

return view.extend({
	load: function() {
		return loadRenderer().then(fetchMesh);
	},

	render: function(data) {
		var node = E('div', { 'class': 'cbi-map' }, [ E('h2', {}, 'Mesh') ]);
		var page = window.AircoordMesh.page(node);

		page.update(data);
		poll.add(function() {
			return fetchMesh().then(function(d) { page.update(d); });
		}, 5);
		return node;
	},

	handleSave: null,
	handleSaveApply: null,
	handleReset: null
});

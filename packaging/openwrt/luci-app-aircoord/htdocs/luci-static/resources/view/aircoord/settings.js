'use strict';
'require view';
'require form';

// The settings of /etc/config/aircoord. Save & Apply commits them, and the
// package's init script hands them to the running controller (a reload,
// no restart). The options and their ranges come from meshview.js.

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

return view.extend({
	load: function() {
		return loadRenderer();
	},

	render: function() {
		var m = new form.Map('aircoord', 'Mesh settings',
			'How the mesh controller steers stations, cleans up after roaming and recovers from radar. ' +
			'A value out of range is refused before it is saved.');
		var s = m.section(form.NamedSection, 'main', 'aircoord');

		window.AircoordMesh.buildSettings(form, s);
		return m.render();
	}
});

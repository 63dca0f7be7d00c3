(function () {
  var table = document.getElementById('series');
  var headers = table.tHead.rows[0].cells;
  function key(cell) {
    var s = cell.getAttribute('data-sort');
    if (s !== null && s !== '' && !isNaN(Number(s))) return { n: Number(s) };
    return { t: cell.textContent };
  }
  function compare(a, b) {
    if (a.n !== undefined && b.n !== undefined) return a.n - b.n;
    if (a.n !== undefined) return -1;
    if (b.n !== undefined) return 1;
    if (a.t === '' && b.t !== '') return 1;
    if (b.t === '' && a.t !== '') return -1;
    return a.t < b.t ? -1 : a.t > b.t ? 1 : 0;
  }
  Array.prototype.forEach.call(headers, function (th, column) {
    th.addEventListener('click', function () {
      var descending = th.classList.contains('asc');
      Array.prototype.forEach.call(headers, function (h) { h.classList.remove('asc', 'desc'); });
      th.classList.add(descending ? 'desc' : 'asc');
      var body = table.tBodies[0];
      var rows = Array.prototype.slice.call(body.rows);
      rows.sort(function (x, y) {
        var c = compare(key(x.cells[column]), key(y.cells[column]));
        return descending ? -c : c;
      });
      rows.forEach(function (r) { body.appendChild(r); });
    });
  });
})();
(function () {
  // The text filter and the status and host selectors: rows that match all three show.
  var table = document.getElementById('series');
  var text = document.getElementById('filter');
  var status = document.getElementById('status-filter');
  var host = document.getElementById('host-filter');
  var shown = document.getElementById('shown');
  if (!table || !text || !status || !host) return;
  function apply() {
    var words = text.value.toLowerCase().split(/\s+/).filter(function (w) { return w; });
    var rows = table.tBodies[0].rows, count = 0;
    for (var i = 0; i < rows.length; i++) {
      var row = rows[i], line = row.textContent.toLowerCase();
      var show = (!status.value || row.getAttribute('data-status') === status.value) &&
                 (!host.value || row.getAttribute('data-host') === host.value) &&
                 words.every(function (w) { return line.indexOf(w) >= 0; });
      row.style.display = show ? '' : 'none';
      if (show) count++;
    }
    shown.textContent = count + ' of ' + rows.length + ' rows';
  }
  text.addEventListener('input', apply);
  status.addEventListener('change', apply);
  host.addEventListener('change', apply);
  apply();
})();

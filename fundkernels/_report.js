// The screening table: rows made from the page's JSON, sorted and filtered in place.
// Every text from the data goes into the page as text (textContent, title), never as markup.
(function () {
  "use strict";
  var source = document.getElementById("fk-data");
  if (source.getAttribute("data-encoding") === "deflate-raw") {
    // A large table comes deflated, in base64 (see the report's data_element).
    var bytes = Uint8Array.from(atob(source.textContent), function (ch) { return ch.charCodeAt(0); });
    var stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("deflate-raw"));
    new Response(stream).text().then(function (text) { screen(JSON.parse(text)); });
  } else {
    screen(JSON.parse(source.textContent));
  }

function screen(data) {
  var PAGE = 100;
  var cols = data.columns;
  var byKey = {};
  cols.forEach(function (c) { byKey[c.key] = c; });
  var n = data.funds.length;
  var state = { sort: null, down: false, q: "", group: "", limit: PAGE };
  var shown = {};
  cols.forEach(function (c) { shown[c.key] = c.show && !c.of; });

  // Values come in the units of their last shown digit (see the report's SCALE).
  function format(v, fmt) {
    if (v === null || v === undefined) return "n/a";
    if (v === Infinity) return "inf";
    if (v === -Infinity) return "-inf";
    if (fmt === "pct") return (v / 100).toFixed(2) + "%";
    if (fmt === "ratio") return (v / 1000).toFixed(3);
    if (fmt === "rank") return String(Math.floor(v / 10 + 0.5));
    return String(v);
  }

  function words(c) {
    var better = c.better === "higher" ? " Higher is better." :
      c.better === "lower" ? " Lower is better." : "";
    return c.key + ": " + (c.words || "no description") + "." + better;
  }

  // Sort keys: "fund", "peer_group" or a column; missing values always last.
  function keyValues(key) {
    if (key === "fund") return data.funds;
    if (key === "peer_group") return data.group.map(function (g) { return data.groups[g]; });
    return data.values[key];
  }

  function order() {
    var rows = [];
    var q = state.q.toLowerCase();
    var g = state.group === "" ? -1 : data.groups.indexOf(state.group);
    for (var i = 0; i < n; i++) {
      if (g >= 0 && data.group[i] !== g) continue;
      if (q && data.funds[i].toLowerCase().indexOf(q) < 0) continue;
      rows.push(i);
    }
    if (state.sort && (state.sort === "fund" || state.sort === "peer_group" || byKey[state.sort])) {
      var v = keyValues(state.sort);
      var sign = state.down ? -1 : 1;
      rows.sort(function (a, b) {
        var x = v[a], y = v[b];
        var mx = x === null, my = y === null;
        if (mx || my) return mx === my ? a - b : (mx ? 1 : -1);
        if (x < y) return -sign;
        if (x > y) return sign;
        return a - b;
      });
    }
    return rows;
  }

  function visible() {
    var out = [];
    cols.forEach(function (c) {
      if (c.of || !shown[c.key]) return;
      out.push(c);
      if (c.rank) out.push(byKey[c.rank]);
    });
    return out;
  }

  function th(label, key, title, cls) {
    var h = document.createElement("th");
    // Column names break after their underscores on narrow screens.
    h.textContent = label.replace(/_/g, "_\u200b");
    h.title = title;
    h.className = cls || "";
    h.setAttribute("data-key", key);
    if (!key) return h;  // the position: nothing to sort by
    if (state.sort === key) h.className += " sorted" + (state.down ? " down" : "");
    h.addEventListener("click", function () {
      if (state.sort === key) {
        state.down = !state.down;
      } else {
        state.sort = key;
        var c = byKey[key];
        // Best first: descending where higher is better, and for columns without a direction.
        state.down = c ? c.better !== "lower" : false;
      }
      draw();
    });
    return h;
  }

  function draw() {
    var vis = visible();
    var head = document.querySelector("#funds thead");
    var tr = document.createElement("tr");
    tr.appendChild(th("#", "", "position in this order", "text pos"));
    tr.appendChild(th("fund", "fund", "fund name", "text"));
    tr.appendChild(th("peer_group", "peer_group", "peer group (type code given with the input)", "text"));
    vis.forEach(function (c) {
      tr.appendChild(th(c.of ? "rank" : c.key, c.key, words(c), c.of ? "rk" : ""));
    });
    head.replaceChildren(tr);
    var rows = order();
    var body = document.querySelector("#funds tbody");
    var frag = document.createDocumentFragment();
    var upto = Math.min(rows.length, state.limit);
    for (var r = 0; r < upto; r++) {
      var i = rows[r];
      var row = document.createElement("tr");
      row.setAttribute("data-row", String(i));
      cell(row, String(r + 1), "pos");
      cell(row, data.funds[i], "fund").title = data.funds[i];
      cell(row, data.groups[data.group[i]], "group");
      vis.forEach(function (c) {
        cell(row, format(data.values[c.key][i], c.fmt), c.of ? "rk" : "num")
          .setAttribute("data-key", c.key);
      });
      frag.appendChild(row);
    }
    body.replaceChildren(frag);
    document.getElementById("count").textContent = "Showing " + upto + " of " + rows.length +
      " funds" + (rows.length < n ? " (" + n + " in all)" : "") +
      (state.sort ? ", sorted by " + state.sort + (state.down ? " (descending)" : " (ascending)") : "") + ".";
    var more = document.getElementById("more");
    more.hidden = upto >= rows.length;
    more.textContent = "Show " + Math.min(PAGE, rows.length - upto) + " more";
    remember();
  }

  function cell(row, text, cls) {
    var td = document.createElement("td");
    td.textContent = text;
    td.className = cls;
    row.appendChild(td);
    return td;
  }

  // The view in the URL fragment: #sort=-sharpe&group=industry&q=tech&cols=a,b
  function remember() {
    var parts = [];
    if (state.sort) parts.push("sort=" + (state.down ? "-" : "") + encodeURIComponent(state.sort));
    if (state.group) parts.push("group=" + encodeURIComponent(state.group));
    if (state.q) parts.push("q=" + encodeURIComponent(state.q));
    var hash = parts.length ? "#" + parts.join("&") : "";
    if (hash !== location.hash && history.replaceState) {
      try { history.replaceState(null, "", hash || location.pathname + location.search); } catch (e) { /* file: URLs in some browsers */ }
    }
  }

  function recall() {
    location.hash.replace(/^#/, "").split("&").forEach(function (part) {
      var eq = part.indexOf("=");
      if (eq < 0) return;
      var k = part.slice(0, eq), v = part.slice(eq + 1);
      try { v = decodeURIComponent(v.replace(/\+/g, " ")); } catch (e) { return; }
      if (k === "sort") {
        state.down = v.charAt(0) === "-";
        state.sort = v.replace(/^[-+]/, "");
        var c = byKey[state.sort];
        if (c && c.of) shown[c.of] = true;
        else if (c) shown[c.key] = true;
      } else if (k === "group") {
        state.group = v;
      } else if (k === "q") {
        state.q = v;
      }
    });
    document.getElementById("q").value = state.q;
    document.getElementById("group").value = state.group;
  }

  function picker() {
    var list = document.getElementById("pick-list");
    cols.forEach(function (c) {
      if (c.of) return;
      var label = document.createElement("label");
      var box = document.createElement("input");
      box.type = "checkbox";
      box.checked = shown[c.key];
      box.addEventListener("change", function () { shown[c.key] = box.checked; draw(); });
      label.appendChild(box);
      label.appendChild(document.createTextNode(" " + c.key));
      label.title = words(c);
      list.appendChild(label);
    });
  }

  document.getElementById("q").addEventListener("input", function (e) {
    state.q = e.target.value; state.limit = PAGE; draw();
  });
  document.getElementById("group").addEventListener("change", function (e) {
    state.group = e.target.value; state.limit = PAGE; draw();
  });
  document.getElementById("more").addEventListener("click", function () {
    state.limit += PAGE; draw();
  });
  window.addEventListener("hashchange", function () { recall(); draw(); });
  recall();
  picker();
  draw();
}
})();

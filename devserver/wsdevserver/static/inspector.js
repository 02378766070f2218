// The inspector's page: the requests the service received, newest first, kept up to date by
// the service's event stream. Every text from a request goes into the page as text
// (textContent, attribute properties), never as markup.
"use strict";

(function () {
  const list = document.getElementById("requests");
  const empty = document.getElementById("empty");
  const count = document.getElementById("count");
  const live = document.getElementById("live");

  const PAGE = 200;  // requests shown: as many as the service lists in one page

  // Records shown, newest first, and their elements by id.
  let records = [];
  const cards = new Map();

  // Control characters (but tab and line breaks) as their visible pictures: U+2400 onwards.
  function visible(text) {
    return text.replace(/[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]/g, (c) =>
      String.fromCharCode(c === "\x7f" ? 0x2421 : 0x2400 + c.charCodeAt(0)));
  }

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = visible(String(text));
    return node;
  }

  function byteCount(size) {
    const exact = size.toLocaleString("en-US") + (size === 1 ? " byte" : " bytes");
    if (size < 1024) return exact;
    const units = ["KiB", "MiB", "GiB"];
    let value = size / 1024;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return exact + " (" + value.toFixed(1) + " " + units[unit] + ")";
  }

  function clock(time) {
    const date = typeof time === "number" ? new Date(time * 1000) : new Date(time);
    if (isNaN(date.getTime())) return String(time);
    const pad = (n, width) => String(n).padStart(width || 2, "0");
    return pad(date.getHours()) + ":" + pad(date.getMinutes()) + ":" + pad(date.getSeconds()) +
      "." + pad(date.getMilliseconds(), 3);
  }

  function isoTime(time) {
    const date = typeof time === "number" ? new Date(time * 1000) : new Date(time);
    return isNaN(date.getTime()) ? String(time) : date.toISOString();
  }

  // The last segment of a file name as sent, Windows or POSIX, for a download's name.
  function baseName(name) {
    const parts = String(name || "").split(/[\\/]/);
    return parts[parts.length - 1];
  }

  // A JSON object or array, indented; null for anything else.
  function prettyJson(text) {
    const trimmed = text.trim();
    if (!trimmed.startsWith("{") && !trimmed.startsWith("[")) return null;
    try {
      return JSON.stringify(JSON.parse(trimmed), null, 2);
    } catch (error) {
      return null;
    }
  }

  function statusClass(status) {
    if (typeof status !== "number") return "status";
    return "status status-" + String(status).charAt(0) + "xx";
  }

  function headerTable(headers) {
    const table = element("table", "headers");
    const body = element("tbody");
    for (const [name, value] of headers || []) {
      const row = element("tr");
      row.append(element("th", null, name), element("td", null, value));
      body.append(row);
    }
    table.append(body);
    return table;
  }

  function field(facts, label, value, className) {
    facts.append(element("dt", null, label));
    const missing = value === null || value === undefined || value === "";
    facts.append(element("dd", className + (missing ? " none" : ""), missing ? "none" : value));
  }

  function downloadLink(part, label) {
    const link = element("a", "download", label);
    link.href = part.url;
    link.download = baseName(part.filename) || "part-" + part.index;
    return link;
  }

  function partBody(part) {
    const body = element("div", "body");
    if (part.image && part.url) {
      const figure = element("figure", "image");
      const image = element("img");
      image.alt = "image sent in part " + part.index;
      image.src = part.url;
      const caption = element("figcaption", null, part.image.toUpperCase());
      image.addEventListener("load", () => {
        caption.textContent = part.image.toUpperCase() + ", " + image.naturalWidth + " \u00d7 " +
          image.naturalHeight + " pixels";
      });
      image.addEventListener("error", () => {
        caption.textContent = part.image.toUpperCase() + " that the browser cannot show";
      });
      figure.append(image, caption);
      body.append(figure);
      return body;
    }
    if (part.kind === "text" && typeof part.text === "string") {
      const pretty = part.truncated ? null : prettyJson(part.text);
      body.append(element("pre", pretty === null ? "text" : "text json",
                          pretty === null ? part.text : pretty));
      if (part.truncated) {
        const note = element("p", "truncated",
                             "Cut: only the start of its " + byteCount(part.size) + " is shown. ");
        if (part.url) note.append(downloadLink(part, "Download all of it"));
        body.append(note);
      }
      return body;
    }
    if (part.url) {
      body.append(downloadLink(part, "Download " + (baseName(part.filename) || "the file")));
    } else {
      body.append(element("p", "gone", part.size === 0 ? "Empty." : "Its bytes are not kept."));
    }
    return body;
  }

  function partSection(part) {
    const section = element("section", "part");
    section.dataset.index = part.index;
    const title = element("h3", null, "Part " + part.index);
    if (part.image) title.append(element("span", "badge", part.image));
    const facts = element("dl", "facts");
    field(facts, "name", part.name, "name");
    field(facts, "disposition", part.disposition, "disposition");
    field(facts, "file name", part.filename, "filename");
    field(facts, "type", part.content_type, "type");
    field(facts, "size", byteCount(part.size || 0), "size");
    field(facts, "SHA-256", part.sha256, "sha256");
    const about = element("div", "about");
    about.append(title, facts);
    if (part.headers && part.headers.length) {
      const details = element("details", "part-headers");
      details.append(element("summary", null, "its headers (" + part.headers.length + ")"),
                     headerTable(part.headers));
      about.append(details);
    }
    // A picture goes beside what is known of it; text and links below.
    if (part.image && part.url) section.classList.add("beside");
    section.append(about, partBody(part));
    return section;
  }

  function requestCard(record) {
    const card = element("article", "request");
    card.dataset.id = record.id;
    const summary = element("div", "summary");
    const time = element("time", "time", clock(record.time));
    time.dateTime = isoTime(record.time);
    time.title = isoTime(record.time);
    summary.append(element("span", "number", "#" + record.id), time,
                   element("span", "method", record.method),
                   element("span", "path", record.path),
                   element("span", "endpoint", record.endpoint || "no endpoint"),
                   element("span", statusClass(record.status), record.status));
    card.append(summary);
    if (record.error) card.append(element("p", "error", record.error));
    const headers = element("details", "request-headers");
    headers.open = true;
    headers.append(element("summary", null, "Request headers"), headerTable(record.headers));
    card.append(headers);
    const parts = record.parts || [];
    const partList = element("div", "parts");
    let heading = parts.length === 1 ? "1 part" : parts.length + " parts";
    if (record.part_count > parts.length) {
      heading = record.part_count + " parts, the first " + parts.length + " kept";
    }
    partList.append(element("h2", null, heading));
    for (const part of parts) partList.append(partSection(part));
    card.append(partList);
    if (record.upstream) card.append(upstreamSection(record.id, record.upstream), resendBar(record));
    return card;
  }

  // With --upstream: a kept request sent again; the new exchange arrives as any request does.
  function resendBar(record) {
    const bar = element("div", "resend");
    if (typeof record.resend === "string") {
      bar.append(element("p", "gone", "Cannot be sent again: " + record.resend + "."));
      return bar;
    }
    const outcome = element("span", "resend-outcome");
    for (const [to, label] of [["upstream", "Resend to the upstream"],
                               ["service", "Resend to this service"]]) {
      const button = element("button", "resend-" + to, label);
      button.type = "button";
      button.addEventListener("click", async () => {
        outcome.textContent = "sending\u2026";
        try {
          const response = await fetch("/api/requests/" + record.id + "/resend?to=" + to,
                                       {method: "POST", cache: "no-store"});
          const text = await response.text();
          if (!response.ok) throw new Error(text.trim() || "HTTP " + response.status);
          const answer = JSON.parse(text);
          outcome.textContent = "sent again: answered " + answer.status + ", " +
            byteCount(answer.size);
        } catch (error) {
          outcome.textContent = "not sent again: " + error.message;
        }
      });
      bar.append(button);
    }
    bar.append(outcome);
    return bar;
  }

  // With --upstream: what the upstream answered, shown with the same views as a part.
  function upstreamSection(id, up) {
    const section = element("section", "upstream");
    section.append(element("h2", null, "The upstream's answer"));
    if (up.insecure) {
      section.append(element("p", "error insecure",
                             "Its certificate was NOT checked (--upstream-insecure)."));
    }
    const facts = element("dl", "facts");
    field(facts, "upstream", up.upstream, "upstream-url");
    field(facts, "status", up.status === null ? "none" : up.status + " " + (up.reason || ""),
          "upstream-status");
    const seconds = (value) => value === null ? "none" : (value * 1000).toFixed(1) + " ms";
    field(facts, "first byte", seconds(up.first_byte_seconds), "first-byte");
    field(facts, "end", seconds(up.total_seconds), "total");
    field(facts, "size", byteCount(up.size || 0), "size");
    field(facts, "SHA-256", up.sha256, "sha256");
    section.append(facts);
    if (up.error) section.append(element("p", "error", up.error));
    if (up.headers && up.headers.length) {
      const headers = element("details", "answer-headers");
      headers.append(element("summary", null, "Answer headers (" + up.headers.length + ")"),
                     headerTable(up.headers));
      section.append(headers);
    }
    section.append(partBody({kind: "text", text: up.text, truncated: up.truncated,
                             size: up.size, url: up.url_file, image: up.image,
                             filename: "answer-" + id, index: "answer"}));
    return section;
  }

  function updateCount() {
    count.textContent = records.length === 1 ? "1 request" : records.length + " requests";
    empty.hidden = records.length !== 0;
  }

  // Shows `fresh` (newest first) in place of everything shown.
  function showAll(fresh) {
    records = fresh;
    cards.clear();
    const nodes = records.map((record) => {
      const card = requestCard(record);
      cards.set(String(record.id), card);
      return card;
    });
    list.replaceChildren(...nodes);
    updateCount();
  }

  // Adds one record on top; the service keeps `held` records, so older ones leave the page.
  function showNew(record, held) {
    const id = String(record.id);
    if (cards.has(id)) return;
    records.unshift(record);
    const card = requestCard(record);
    card.classList.add("new");
    cards.set(id, card);
    list.prepend(card);
    while (typeof held === "number" && records.length > held) {
      const gone = records.pop();
      const node = cards.get(String(gone.id));
      if (node) node.remove();
      cards.delete(String(gone.id));
    }
    updateCount();
  }

  // A list the same as the one shown (polling, mostly) leaves the page as it is: open details,
  // scroll position and pictures stay.
  function listed(fresh) {
    const key = (records) => records.map((record) => record.id + "@" + record.time).join(" ");
    if (document.body.dataset.loaded !== "true" || key(fresh) !== key(records)) showAll(fresh);
    document.body.dataset.loaded = "true";
    performance.mark("inspector-listed");
  }

  // The list comes as summaries, a request's whole record from its own address; a record
  // never changes once listed, so each is fetched once.
  const details = new Map();

  async function detail(id) {
    if (!details.has(id)) {
      details.set(id, fetch("/api/requests/" + id, {cache: "no-store"}).then((response) => {
        if (!response.ok) throw new Error("HTTP " + response.status);
        return response.json();
      }).catch((error) => {
        details.delete(id);
        throw error;
      }));
    }
    return details.get(id);
  }

  async function refresh() {
    const response = await fetch("/api/requests?limit=" + PAGE, {cache: "no-store"});
    if (!response.ok) throw new Error("HTTP " + response.status);
    const page = await response.json();
    const fresh = await Promise.all(page.requests.map((summary) => detail(summary.id)));
    for (const id of details.keys()) {
      if (!page.requests.some((summary) => summary.id === id)) details.delete(id);
    }
    listed(fresh);
  }

  function setLive(state, text) {
    live.dataset.state = state;
    live.textContent = text;
  }

  // Without an event stream (no EventSource, or the service refuses one), the list every 2 s.
  function poll() {
    setLive("polling", "polling");
    refresh().catch(() => setLive("down", "service unreachable"))
      .finally(() => setTimeout(poll, 2000));
  }

  function listen() {
    // ?snapshot: the list as it is, once (for a screenshot, which waits until nothing loads).
    if (new URLSearchParams(location.search).has("snapshot")) {
      setLive("snapshot", "snapshot");
      refresh().catch(() => setLive("down", "cannot read the list"));
      return;
    }
    if (!window.EventSource) {
      poll();
      return;
    }
    // Once the stream is open (again after every reconnection), the list is read, so that
    // whatever came while it was down is in it; then the stream brings each new request.
    const events = new EventSource("/events");
    events.addEventListener("open", () => {
      setLive("live", "live");
      refresh().catch(() => setLive("down", "cannot read the list"));
    });
    events.addEventListener("error", () => {
      if (events.readyState === EventSource.CLOSED) {
        poll();
      } else {
        setLive("down", "reconnecting");
      }
    });
    events.addEventListener("request", (event) => {
      const message = JSON.parse(event.data);
      detail(message.record.id).then((record) => showNew(record, message.held))
        .catch(() => setLive("down", "cannot read a new request"));
    });
  }

  listen();
})();

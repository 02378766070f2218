// The inspector's page: the requests the service received, newest first, kept up to date by
// the service's event stream. Every text from a request goes into the page as text
// (textContent, attribute properties), never as markup.
//
// The list comes as summaries, a page of them in one fetch, and pages on as it scrolls; a
// request's whole record is read only when its card comes into view or is opened, so that a page
// opened on hundreds of requests moves little. Searching is the service's, over all it keeps.
"use strict";

(function () {
  const list = document.getElementById("requests");
  const empty = document.getElementById("empty");
  const count = document.getElementById("count");
  const live = document.getElementById("live");
  const announce = document.getElementById("announce");
  const rows = document.getElementById("rows");
  const filter = document.getElementById("filter");
  const matched = document.getElementById("matched");
  const restarted = document.getElementById("restarted");
  const opened = document.getElementById("opened");
  const more = document.getElementById("more");
  const feedEnd = document.getElementById("feed-end");
  const sort = document.getElementById("sort");
  const pause = document.getElementById("pause");
  let service = null;  // which run of the service the list comes from
  let firstId = null;  // that run's first id: a smaller one is from before a restart

  const PAGE = 100;  // summaries asked for at a time

  // Summaries listed, in the service's order (newest first), and their cards by id; the
  // address of the page after them; the search they answer ("" for every request); how many
  // the service holds.
  let records = [];
  const cards = new Map();
  let next = null;
  let query = "";
  let held = 0;

  // Controls (but tab and line breaks), and the characters that reorder or hide text (the
  // bidirectional controls, zero-width ones), as <U+XXXX>, which every font draws: a name
  // cannot pass for another ("a<U+202E>txt.exe" rather than "aexe.txt").
  const HIDDEN = /[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f\xad\u061c\u180e\u200b-\u200f\u2028-\u202e\u2060-\u2064\u2066-\u206f\ufeff\ufff9-\ufffb]/g;

  function visible(text) {
    return text.replace(HIDDEN, (c) =>
      "<U+" + c.charCodeAt(0).toString(16).toUpperCase().padStart(4, "0") + ">");
  }

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) node.className = className;
    if (text !== undefined && text !== null) node.textContent = visible(String(text));
    return node;
  }

  // A size of 1 KiB or more in the largest binary unit under 1024: [value, unit].
  function binaryUnits(size) {
    const units = ["KiB", "MiB", "GiB"];
    let value = size / 1024;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return [value, units[unit]];
  }

  function byteCount(size) {
    const exact = size.toLocaleString("en-US") + (size === 1 ? " byte" : " bytes");
    if (size < 1024) return exact;
    const [value, unit] = binaryUnits(size);
    return exact + " (" + value.toFixed(1) + " " + unit + ")";
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
      const whole = element("a", "whole");
      whole.href = part.url;
      whole.target = "_blank";
      whole.rel = "noopener";
      const image = element("img");
      image.loading = "lazy";
      image.alt = "image sent in part " + (part.index + 1) +
        (part.filename ? ", " + visible(baseName(part.filename)) : "");
      // A small preview made by the service, when it can; the whole picture is a click away.
      image.src = part.thumb || part.url;
      const caption = element("figcaption", null, part.image.toUpperCase());
      image.addEventListener("load", () => {
        caption.textContent = part.image.toUpperCase() + (part.thumb ? ", preview: " : ", ") +
          image.naturalWidth + " \u00d7 " + image.naturalHeight + " pixels";
      });
      image.addEventListener("error", async () => {
        // The service refuses to preview a picture past its bound (413): the file is a link.
        const refused = part.thumb && (await fetch(part.thumb).catch(() => null) || {}).status;
        if (refused === 413) {
          caption.textContent = part.image.toUpperCase() + ", too large to preview: ";
          caption.append(downloadLink(part, "the whole file"));
        } else {
          caption.textContent = part.image.toUpperCase() + " that the browser cannot show";
        }
      });
      whole.append(image);
      figure.append(whole, caption);
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
    const title = element("h4", null, "Part " + (part.index + 1));
    if (part.image) title.append(element("span", "badge", part.image));
    const facts = element("dl", "facts");
    // Bytes that are not UTF-8 as \xHH, rather than the U+FFFD that hides them.
    field(facts, "name", part.name_escaped || part.name, "name");
    field(facts, "disposition", part.disposition, "disposition");
    field(facts, "file name", part.filename_escaped || part.filename, "filename");
    if (part.disposition_as_sent) {
      field(facts, "as sent", "Content-Disposition: " + part.disposition_as_sent, "as-sent");
    }
    field(facts, "type", part.content_type, "type");
    field(facts, "size", byteCount(part.size || 0), "size");
    field(facts, "SHA-256", part.sha256, "sha256");
    const about = element("div", "about");
    about.append(title, facts);
    if (part.headers && part.headers.length) {
      const details = element("details", "part-headers");
      details.append(element("summary", null, "Part " + (part.index + 1) + "'s headers (" +
                                                 part.headers.length + ")"),
                     headerTable(part.headers));
      about.append(details);
    }
    for (const note of part.notes || []) about.append(element("p", "note", note));
    // A picture goes beside what is known of it; text and links below.
    if (part.image && part.url) section.classList.add("beside");
    section.append(about, partBody(part));
    return section;
  }

  // A request's line, the heading of its card whether the card is read whole yet or not.
  function requestLine(record) {
    const summary = element("h2", "summary");
    const time = element("time", "time", clock(record.time));
    time.dateTime = isoTime(record.time);
    time.title = isoTime(record.time);
    summary.append(element("span", "number", "#" + record.id), time,
                   element("span", "method", record.method),
                   element("span", "path", record.path),
                   record.endpoint ? element("span", "endpoint", record.endpoint)
                     : element("span", "endpoint none", "no endpoint"),
                   element("span", statusClass(record.status), record.status));
    return summary;
  }

  function requestCard(record) {
    const card = element("article", "request");
    card.dataset.id = record.id;
    card.append(requestLine(record), tools(record));
    if (record.answered_by) {
      card.append(element("p", "answered-by", "Answered by " + record.answered_by +
                          (record.answer_end ? ", " + record.answer_end : "")));
    }
    if (record.error) card.append(element("p", "error", record.error));
    for (const note of record.notes || []) card.append(element("p", "note", note));
    const headers = element("details", "request-headers");
    headers.open = true;
    headers.append(element("summary", null, "Request #" + record.id + "'s headers (" +
                                         (record.headers || []).length + ")"),
                   headerTable(record.headers));
    card.append(headers, rawView(record));
    const parts = record.parts || [];
    const partList = element("div", "parts");
    let heading = parts.length === 1 ? "1 part" : parts.length + " parts";
    if (record.part_count > parts.length) {
      heading = record.part_count + " parts, the first " + parts.length + " kept";
    }
    partList.append(element("h3", null, heading));
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
          const done = ": answered " + answer.status + ", " + byteCount(answer.size);
          if (answer.id === null) {
            outcome.textContent = "sent again" + done;
          } else {
            const link = element("a", null, "#" + answer.id);
            link.href = "#" + answer.id;
            outcome.replaceChildren("sent again as ", link, done);
          }
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

  // Sizes in a row: short, since the row has little room.
  function shortBytes(size) {
    if (size < 1024) return size + " B";
    const [value, unit] = binaryUnits(size);
    return value.toFixed(value < 10 ? 1 : 0) + " " + unit;
  }

  // What a match's place is called in a row: "header", "part 2 text (message)".
  function placeName(where) {
    return where.in + (where.in.endsWith(" text") && where.name ? " (" + where.name + ")" : "");
  }

  // A row tells requests apart at a glance: method, endpoint (or the path's last segment, the
  // whole path on hover), status, parts, size and time; for a search, where it matched.
  function row(record) {
    const item = element("li", "row");
    item.dataset.id = record.id;
    const link = element("a");
    link.href = "#" + record.id;
    link.title = visible(record.path);
    const line = element("span", "line");
    const time = element("time", "time", clock(record.time).slice(0, 8));
    time.dateTime = isoTime(record.time);
    line.append(element("span", "method", record.method),
                element("span", record.endpoint ? "label endpoint" : "label",
                        record.label || record.path),
                element("span", statusClass(record.status), record.status),
                element("span", "parts", record.part_count === 1 ? "1 part"
                  : record.part_count + " parts"),
                element("span", "size", shortBytes(record.size || 0)), time);
    link.append(line);
    for (const where of record.matched || []) {
      const shown = element("span", "where");
      shown.append(element("span", "where-in", placeName(where)),
                   element("span", "where-text", where.text));
      link.append(shown);
    }
    item.append(link);
    return item;
  }

  // The rows' orders; ids grow with time.
  const ORDERS = {
    time: (a, b) => b.id - a.id,
    status: (a, b) => (b.status || 0) - (a.status || 0) || b.id - a.id,
    size: (a, b) => (b.size || 0) - (a.size || 0) || b.id - a.id,
  };

  function ordered() {
    return sort.value in ORDERS && sort.value !== "time" ? records.slice().sort(ORDERS[sort.value])
      : records;
  }

  // A card starts as its request's line, and is read whole once it comes near the view.
  const filler = "IntersectionObserver" in window ? new IntersectionObserver((entries) => {
    for (const entry of entries) if (entry.isIntersecting) fill(entry.target);
  }, {rootMargin: "400px 0px"}) : null;

  function shell(record) {
    const card = element("article", "request");
    card.dataset.id = record.id;
    card.append(requestLine(record), element("p", "loading", "Reading\u2026"));
    if (filler) filler.observe(card);
    else fill(card);
    return card;
  }

  function fill(card) {
    if (card.dataset.filling) return;
    card.dataset.filling = "true";
    if (filler) filler.unobserve(card);
    const id = card.dataset.id;
    detail(id).then((record) => {
      const whole = requestCard(record);
      for (const name of card.classList) whole.classList.add(name);  // selected, new
      whole.dataset.filling = whole.dataset.filled = "true";
      card.replaceWith(whole);
      if (cards.get(id) === card) cards.set(id, whole);
    }, () => {
      const loading = card.querySelector(".loading");
      if (loading) loading.textContent = "Not kept any more.";
    });
  }

  // Shows `records` in the order chosen; cards already read stay as they are.
  function render() {
    const shown = ordered();
    const kept = new Map();
    for (const record of shown) {
      const id = String(record.id);
      kept.set(id, cards.get(id) || shell(record));
    }
    for (const [id, card] of cards) {
      if (!kept.has(id) && filler) filler.unobserve(card);
    }
    cards.clear();
    for (const [id, card] of kept) cards.set(id, card);
    for (const id of details.keys()) {
      if (!cards.has(id) && opened.dataset.id !== id) details.delete(id);
    }
    list.replaceChildren(...kept.values());
    rows.replaceChildren(...shown.map(row));
    updateCount();
    markSelected(location.hash.slice(1));
  }

  function markSelected(id) {
    for (const node of document.querySelectorAll(".selected")) node.classList.remove("selected");
    for (const node of rows.querySelectorAll("[aria-current]")) {
      node.removeAttribute("aria-current");
    }
    if (!/^[0-9]{1,18}$/.test(id)) return;
    const card = cards.get(id);
    const item = rows.querySelector(`li[data-id="${id}"]`);
    if (card) card.classList.add("selected");
    if (item) {
      item.classList.add("selected");
      item.querySelector("a").setAttribute("aria-current", "true");
    }
  }

  // The selected request is the address's #ID, so that a reload or a shared link opens it,
  // listed or not.
  function select() {
    const id = location.hash.slice(1);
    markSelected(id);
    const card = cards.get(id);
    if (card || !/^[0-9]{1,18}$/.test(id)) {
      delete opened.dataset.id;
      opened.replaceChildren();
    }
    if (card) {
      card.scrollIntoView({block: "start"});
      fill(card);
    } else if (/^[0-9]{1,18}$/.test(id)) {
      openOutside(id);
    }
  }

  // A request the list does not show (older than the pages loaded, or outside the search) opens
  // above it; one that is gone says why, so a link never opens another request.
  async function openOutside(id) {
    if (opened.dataset.id === id) return;
    opened.dataset.id = id;
    opened.replaceChildren(element("p", "gone", "Reading request #" + id + "\u2026"));
    let note;
    try {
      const record = await detail(id);
      if (opened.dataset.id !== id) return;
      const card = requestCard(record);
      card.classList.add("selected");
      card.dataset.filled = "true";
      opened.replaceChildren(element("p", "outside", "Request #" + id +
                                     ", opened by its address, is not among those listed."),
                             card);
      card.scrollIntoView({block: "start"});
      return;
    } catch (error) {
      if (opened.dataset.id !== id) return;
      if (error.status !== 404) {
        note = "Cannot read request #" + id + ": " + error.message;
      } else if (firstId !== null && Number(id) < firstId) {
        note = "Request #" + id + " is from before the service restarted: it is gone.";
      } else {
        note = "Request #" + id + " is not kept any more: it was cleared, or dropped for " +
          "newer requests.";
      }
    }
    opened.replaceChildren(element("p", "gone-note", note));
  }

  // Moves the selection by `move` rows (1, -1, "first" or "last") in the order shown.
  function step(move, focusRow) {
    const items = [...rows.querySelectorAll("li.row")];
    if (!items.length) return;
    const at = items.findIndex((item) => item.dataset.id === location.hash.slice(1));
    const to = move === "first" ? 0 : move === "last" ? items.length - 1
      : at < 0 ? 0 : Math.max(0, Math.min(items.length - 1, at + move));
    location.hash = items[to].dataset.id;
    items[to].scrollIntoView({block: "nearest"});
    if (focusRow) items[to].querySelector("a").focus();
  }

  function typing(target) {
    return target.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(target.tagName);
  }

  // From anywhere but a text being edited: / searches, Esc clears the search, up and down (j
  // and k), Home and End move through the list; up and down from the search box too.
  function keyboard(event) {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    const inFilter = event.target === filter;
    const free = !typing(event.target);
    if (event.key === "/" && free) {
      event.preventDefault();
      filter.focus();
      filter.select();
      return;
    }
    if (event.key === "Escape" && inFilter) {
      if (filter.value) {
        filter.value = "";
        searchSoon(0);
      }
      return;
    }
    const moves = {ArrowDown: 1, ArrowUp: -1};
    const freeMoves = {j: 1, k: -1, Home: "first", End: "last"};
    const move = (free || inFilter) && moves[event.key] || free && freeMoves[event.key];
    if (!move) return;
    event.preventDefault();
    step(move, !inFilter);
  }
  // The request as received, read when first opened: its head's lines, then its body's start
  // cut at each delimiter, text as text and binary data as a hex dump.
  function rawView(record) {
    const details = element("details", "raw");
    details.append(element("summary", null, "Request #" + record.id + " as received"));
    details.addEventListener("toggle", async () => {
      if (!details.open || details.dataset.loaded) return;
      details.dataset.loaded = "true";
      const response = await fetch("/api/requests/" + record.id + "/raw", {cache: "no-store"});
      if (!response.ok) {
        details.append(element("p", "gone", "Not kept any more."));
        return;
      }
      const raw = await response.json();
      const head = [raw.request_line, ...raw.headers.map(([name, value]) => name + ": " + value)];
      details.append(element("pre", "raw-head", head.join("\n")));
      for (const segment of raw.segments) {
        if (segment.kind === "boundary") {
          details.append(element("pre", "raw-boundary", segment.text));
        } else if (segment.kind === "head") {
          details.append(element("pre", "raw-part-head", segment.lines.join("\n")));
        } else {
          const shown = segment.text !== undefined ? segment.text : segment.hex;
          details.append(element("pre", segment.text !== undefined ? "raw-text" : "raw-hex", shown));
          if (segment.cut) {
            details.append(element("p", "truncated", "Cut: " + byteCount(segment.size) + " in all."));
          }
        }
      }
      const about = element("p", "raw-size", "Body: " + byteCount(raw.size) +
                            (raw.shown < raw.size ? ", the first " + byteCount(raw.shown) + " shown. " : ". "));
      if (raw.url) {
        const link = element("a", "download", "Download the body");
        link.href = raw.url;
        link.download = "request-" + record.id + "-body";
        about.append(link);
      }
      details.append(about);
    });
    return details;
  }

  function tools(record) {
    const bar = element("div", "tools");
    const copy = element("button", null, "Copy as curl");
    copy.type = "button";
    const command = element("pre", "command");
    command.hidden = true;
    const body = curlBody(record);
    copy.addEventListener("click", async () => {
      const response = await fetch("/api/requests/" + record.id + "/curl", {cache: "no-store"});
      command.textContent = await response.text();
      command.hidden = false;
      if (body) body.hidden = !response.ok;
      if (response.ok && navigator.clipboard) {
        navigator.clipboard.writeText(command.textContent).then(() => {
          copy.textContent = "Copied as curl";
          setTimeout(() => { copy.textContent = "Copy as curl"; }, 2000);
        }, () => {});
      }
    });
    const clear = element("button", null, "Clear");
    clear.type = "button";
    clear.addEventListener("click", () => clearRequests("/api/requests/" + record.id));
    bar.append(copy, clear, command);
    if (body) bar.append(body);
    return bar;
  }

  // The body file the curl command sends, under the name the command gives it: saved beside
  // the command, it still works once the service has gone.
  function curlBody(record) {
    if (!record.body_url) return null;
    const name = "request-" + record.id + "-body";
    const about = element("p", "curl-body", "The command sends the file " + name + ": ");
    const link = element("a", "download curl-body-file", "save it in the folder you run it from");
    link.href = record.body_url;
    link.download = name;
    about.append(link);
    about.hidden = true;
    return about;
  }

  async function clearRequests(address) {
    const response = await fetch(address, {method: "DELETE"});
    if (response.ok) await refresh();
  }

  function removeShown(id) {
    const card = cards.get(id);
    if (card) {
      if (filler) filler.unobserve(card);
      card.remove();
    }
    cards.delete(id);
    const item = rows.querySelector(`li[data-id="${id}"]`);
    if (item) item.remove();
    details.delete(id);
  }

  function forget(ids, total) {
    const gone = new Set(ids.map(String));
    for (const id of gone) removeShown(id);
    if (gone.has(opened.dataset.id)) {
      delete opened.dataset.id;
      select();
    }
    records = records.filter((record) => !gone.has(String(record.id)));
    if (typeof total === "number") held = total;
    updateCount();
  }

  function updateCount() {
    count.textContent = (held === 1 ? "1 request" : held + " requests") +
      (!query && records.length < held ? ", " + records.length + " listed" : "");
    empty.hidden = held !== 0;
    more.hidden = !next;
    if (!query) {
      matched.textContent = "";
    } else if (!records.length) {
      matched.textContent = next ? "None found yet: more as the list scrolls." : "None found.";
    } else {
      matched.textContent = records.length + (records.length === 1 ? " found" : " found") +
        (next ? " so far: more as the list scrolls." : ".");
    }
  }

  // Adds one request on top; the service holds `total`, so the oldest may leave the page.
  function showNew(record, total) {
    if (typeof total === "number") held = total;
    if (paused) {
      waiting += 1;
      pauseLabel();
      updateCount();
      return;
    }
    restarted.hidden = true;  // what is listed from now on is this run's
    announce.textContent = "New request #" + record.id + ": " + record.method + " " +
      visible(record.path) + ", " + record.status;
    if (query) {  // whether it matches is the service's to say
      searchSoon(300);
      return;
    }
    const id = String(record.id);
    if (cards.has(id)) return;
    records.unshift(record);
    while (records.length > held) removeShown(String(records.pop().id));
    if (sort.value !== "time") {
      render();
      return;
    }
    const card = shell(record);
    card.classList.add("new");
    cards.set(id, card);
    list.prepend(card);
    rows.prepend(row(record));
    updateCount();
  }

  // A request's whole record, read once: a record never changes once listed. Failures carry
  // their status, so that a 404 can say the request is gone.
  const details = new Map();

  async function detail(id) {
    id = String(id);
    if (!details.has(id)) {
      details.set(id, fetch("/api/requests/" + id, {cache: "no-store"}).then((response) => {
        if (!response.ok) {
          const error = new Error("HTTP " + response.status);
          error.status = response.status;
          throw error;
        }
        return response.json();
      }).catch((error) => {
        details.delete(id);
        throw error;
      }));
    }
    return details.get(id);
  }

  // A page of summaries; notes a restart of the service.
  async function listPage(address) {
    const response = await fetch(address, {cache: "no-store"});
    if (!response.ok) throw new Error("HTTP " + response.status);
    const page = await response.json();
    if (service !== null && page.service !== service) {
      restarted.hidden = false;
      details.clear();  // what was read of the run before is gone from the service
    }
    service = page.service;
    if (typeof page.first === "number") firstId = page.first;
    held = page.held;
    return page;
  }

  // The first page of the list, or of the search, in place of what is shown. A list the same
  // as the one shown (polling, mostly) leaves the page as it is: open details, scroll position
  // and pictures stay.
  let asked = 0;

  async function refresh() {
    const ask = ++asked;
    const words = query;
    const params = new URLSearchParams({limit: PAGE});
    if (words) params.set("q", words);
    const page = await listPage("/api/requests?" + params);
    if (ask !== asked) return;  // a newer list or search is on its way
    const key = (summaries) => summaries.map((record) => record.id + "@" +
      JSON.stringify(record.matched || null)).join(" ");
    const first = document.body.dataset.loaded !== "true";
    if (first || words !== document.body.dataset.searched ||
        key(page.requests) !== key(records.slice(0, page.requests.length)) ||
        (page.requests.length < PAGE && records.length !== page.requests.length)) {
      records = page.requests;
      next = page.next;
      render();
    } else {
      updateCount();
    }
    document.body.dataset.searched = words;
    if (first) {
      document.body.dataset.loaded = "true";
      performance.mark("inspector-listed");
      select();
    }
  }

  // The next page, once the end of the list or of the cards comes into view.
  let paging = false;

  async function loadOlder() {
    if (!next || paging) return;
    paging = true;
    const ask = asked;
    try {
      const page = await listPage(next);
      if (ask !== asked) return;
      records = records.concat(page.requests.filter((record) => !cards.has(String(record.id))));
      next = page.next;
      render();
    } finally {
      paging = false;
    }
  }

  if ("IntersectionObserver" in window) {
    const pager = new IntersectionObserver((entries) => {
      if (entries.some((entry) => entry.isIntersecting)) {
        loadOlder().catch(() => setLive("down", "cannot read the list"));
      }
    }, {rootMargin: "200px 0px"});
    pager.observe(more);
    pager.observe(feedEnd);
  }
  more.addEventListener("click", () => {
    loadOlder().catch(() => setLive("down", "cannot read the list"));
  });

  // The search box asks the service once typing pauses.
  let searchTimer = null;

  function searchSoon(delay) {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => {
      query = filter.value.trim();
      refresh().catch(() => setLive("down", "cannot search"));
    }, delay);
  }

  // Paused, the page stays as it is and counts what arrives; resumed, it lists again.
  let paused = false;
  let waiting = 0;

  function pauseLabel() {
    pause.textContent = !paused ? "Pause" : waiting ? "Resume (" + waiting + " new)" : "Resume";
    pause.setAttribute("aria-pressed", String(paused));
  }

  pause.addEventListener("click", () => {
    paused = !paused;
    if (!paused) {
      waiting = 0;
      refresh().catch(() => setLive("down", "cannot read the list"));
    }
    pauseLabel();
  });

  function setLive(state, text) {
    live.dataset.state = state;
    live.textContent = text;
  }

  // Without an event stream (no EventSource, or the service refuses one), the list every 2 s.
  function poll() {
    setLive("polling", "polling");
    (paused ? Promise.resolve() : refresh()).catch(() => setLive("down", "service unreachable"))
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
      showNew(message.record, message.held);
    });
    events.addEventListener("cleared", (event) => {
      const message = JSON.parse(event.data);
      forget(message.ids, message.held);
    });
  }

  // The empty page says where to send requests, on the address it was opened with.
  const base = location.protocol + "//" + location.host + "/Vortan/BackOffice/trunk/webservice/zunel/";
  document.getElementById("endpoint-msg").textContent = base + "testMsg";
  document.getElementById("endpoint-img").textContent = base + "testImg";
  document.getElementById("try").textContent =
    "curl -F 'message={\"page\":\"unIDdepage\"}' " + base + "testMsg";

  filter.addEventListener("input", () => searchSoon(80));
  document.addEventListener("keydown", keyboard);
  sort.addEventListener("change", render);
  window.addEventListener("hashchange", select);
  document.getElementById("restarted-ok").addEventListener("click", () => {
    restarted.hidden = true;
  });
  document.getElementById("clear-all").addEventListener("click", () => {
    if (confirm("Clear every request the service keeps?")) clearRequests("/api/requests");
  });

  // The answer rules (GET and PUT /api/answers): edited here, sent whole on Save; the service
  // checks them and answers 400 with one line naming the rule and the key.
  function answersPanel() {
    const panel = document.getElementById("answers");
    const toggle = document.getElementById("answers-toggle");
    const list = document.getElementById("answer-rules");
    const status = document.getElementById("answer-status");
    const error = document.getElementById("answer-error");
    let rules = [];

    function showError(text) {
      error.textContent = visible(text);
      error.hidden = !text;
    }

    function describe(rule) {
      const match = [rule.method || "any method", rule.path || "any path"];
      if (rule.query !== undefined) match.push("?" + rule.query);
      if (rule.header) match.push("header " + rule.header.name);
      if (rule.part !== undefined) match.push("part " + rule.part);
      let answer = rule.reset ? "reset" : rule.hold ? "held" : rule.upstream ? "upstream" :
        String(rule.status || 200);
      if (rule.delay) answer += " after " + rule.delay + " s";
      if (rule.cut_after !== undefined) answer += ", cut after " + rule.cut_after + " bytes";
      if (rule.times !== undefined) answer += ", " + rule.times + " more";
      return (rule.name ? rule.name + ": " : "") + match.join(" ") + " \u2192 " + answer;
    }

    function button(label, action) {
      const node = element("button", null, label);
      node.type = "button";
      node.addEventListener("click", action);
      return node;
    }

    // Moves the rules' edits into `rules`; false (and the reason shown) if one is not JSON.
    function collect() {
      const items = [...list.children];
      for (let i = 0; i < items.length; i += 1) {
        try {
          const rule = JSON.parse(items[i].querySelector("textarea").value);
          if (rule === null || typeof rule !== "object" || Array.isArray(rule)) {
            throw new Error("not an object");
          }
          rules[i] = rule;
        } catch (e) {
          showError("rule " + (i + 1) + ": not a JSON object: " + e.message);
          return false;
        }
      }
      return true;
    }

    function render() {
      list.replaceChildren(...rules.map((rule, i) => {
        const item = element("li", "answer-rule" + (rule.enabled === false ? " off" : ""));
        const on = element("input");
        on.type = "checkbox";
        on.checked = rule.enabled !== false;
        on.title = "enabled";
        on.setAttribute("aria-label", "rule " + (i + 1) + " enabled");
        on.addEventListener("change", () => {
          if (!collect()) return;
          rules[i].enabled = on.checked;
          render();
          status.textContent = "not saved";
        });
        const editor = element("textarea", "answer-json");
        editor.value = JSON.stringify(rule, null, 2);
        editor.rows = Math.min(12, editor.value.split("\n").length);
        editor.setAttribute("aria-label", "rule " + (i + 1) + " as JSON");
        editor.addEventListener("input", () => { status.textContent = "not saved"; });
        const edit = element("details", "answer-edit");
        edit.append(element("summary", null, "Edit"), editor);
        const move = (to) => () => {
          if (!collect() || to < 0 || to >= rules.length) return;
          [rules[i], rules[to]] = [rules[to], rules[i]];
          render();
          status.textContent = "not saved";
        };
        item.append(on, element("span", "answer-number", "rule " + (i + 1)),
                    element("span", "answer-summary", describe(rule)),
                    button("\u2191", move(i - 1)), button("\u2193", move(i + 1)),
                    button("Remove", () => {
                      if (!collect()) return;
                      rules.splice(i, 1);
                      render();
                      status.textContent = "not saved";
                    }), edit);
        return item;
      }));
    }

    async function load() {
      showError("");
      const response = await fetch("/api/answers", {cache: "no-store"});
      if (!response.ok) {
        showError("The service gives no rules: " + (await response.text()).trim());
        return;
      }
      rules = await response.json();
      status.textContent = rules.length === 1 ? "1 rule" : rules.length + " rules";
      render();
    }

    async function save() {
      showError("");
      if (!collect()) return;
      status.textContent = "saving\u2026";
      const response = await fetch("/api/answers", {
        method: "PUT", cache: "no-store", headers: {"Content-Type": "application/json"},
        body: JSON.stringify(rules)});
      const text = await response.text();
      if (!response.ok) {
        status.textContent = "not saved";
        showError(text.trim() || "HTTP " + response.status);
        return;
      }
      rules = JSON.parse(text);
      status.textContent = "saved: " + (rules.length === 1 ? "1 rule" : rules.length + " rules");
      render();
    }

    toggle.addEventListener("click", () => {
      panel.hidden = !panel.hidden;
      toggle.setAttribute("aria-expanded", String(!panel.hidden));
      if (!panel.hidden) load().catch((e) => showError("Cannot read the rules: " + e.message));
    });
    document.getElementById("answer-add").addEventListener("click", () => {
      if (!collect()) return;
      rules.push({name: "new rule", path: "/Vortan/BackOffice/trunk/webservice/zunel/testMsg",
                  status: 503, body: "maintenance\n"});
      render();
      list.lastElementChild.querySelector("details").open = true;
      status.textContent = "not saved";
    });
    document.getElementById("answer-save").addEventListener("click", () => {
      save().catch((e) => showError("Not saved: " + e.message));
    });
    document.getElementById("answer-reload").addEventListener("click", () => {
      load().catch((e) => showError("Cannot read the rules: " + e.message));
    });
  }

  answersPanel();
  listen();
})();

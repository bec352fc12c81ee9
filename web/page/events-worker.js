// The page's reader of /api/v1/events. Run as a SharedWorker it reads one
// stream for every tab of the browser and hands each frame to all of them:
// a browser keeps only six connections to a host, and a stream per tab
// would leave none for Stop from a seventh. Loaded as a plain script where
// SharedWorker is missing, it gives the page the same reader for itself.
"use strict";

// Reads the stream for ever, resuming after a break where it left off.
// EventSource cannot send the Authorization header, so the stream is read
// with fetch and split into frames here. getToken() answers a promise of the
// token; onFrame(text) gets each frame, onLink(ok) each change of the link.
async function readEvents(getToken, onFrame, onLink) {
  let lastEventId = null, token = await getToken(false);
  for (;;) {
    try {
      const h = {};
      if (token) h["Authorization"] = "Bearer " + token;
      if (lastEventId) h["Last-Event-ID"] = lastEventId;
      const response = await fetch("/api/v1/events", { headers: h });
      if (response.status === 401) { token = await getToken(true); continue; }
      if (response.ok) {
        onLink(true);
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        let buffer = "";
        for (;;) {
          const chunk = await reader.read();
          if (chunk.done) break;
          buffer += decoder.decode(chunk.value, { stream: true });
          let end;
          while ((end = buffer.indexOf("\n\n")) >= 0) {
            const frame = buffer.slice(0, end);
            buffer = buffer.slice(end + 2);
            const id = /^id: (.*)$/m.exec(frame);
            if (id) lastEventId = id[1];
            onFrame(frame);
          }
        }
      }
    } catch (e) {
      // sipper-web itself went away; try again below.
    }
    onLink(false);
    await new Promise(function (r) { setTimeout(r, 2000); });
  }
}

if (typeof SharedWorkerGlobalScope !== "undefined" && self instanceof SharedWorkerGlobalScope) {
  const tabs = new Set();
  let token = null, tokenWaiters = [], lastStatus = null, linkOk = null, reading = false;
  const all = function (message) { for (const port of tabs) port.postMessage(message); };

  // The first tab's token; a new one from any tab when the server refused it.
  const getToken = function (refused) {
    if (!refused && token !== null) return Promise.resolve(token);
    if (refused) all({ needToken: true });
    return new Promise(function (resolve) { tokenWaiters.push(resolve); });
  };

  self.onconnect = function (e) {
    const port = e.ports[0];
    tabs.add(port);
    port.onmessage = function (m) {
      if (m.data.bye) { tabs.delete(port); return; }
      tabs.add(port);  // back from the browser's page cache
      // A new tab that knows no token yet must not wipe the one in use.
      if (typeof m.data.token === "string" && (m.data.token || token === null)) {
        token = m.data.token;
        const waiters = tokenWaiters;
        tokenWaiters = [];
        for (const w of waiters) w(token);
      }
    };
    // A tab that comes late starts from the state the others see.
    if (linkOk !== null) port.postMessage({ link: linkOk });
    if (lastStatus) port.postMessage({ frame: lastStatus });
    if (!reading) {
      reading = true;
      readEvents(getToken, function (frame) {
        if (/^event: status$/m.test(frame)) lastStatus = frame;
        all({ frame: frame });
      }, function (ok) { linkOk = ok; all({ link: ok }); });
    }
  };
}

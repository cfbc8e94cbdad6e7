// The client window for a browser: join under a handle name, send chat lines, show every relayed
// text as plain text, leave with a logout line. Texts are only ever put on the page as text.
// A lost connection is retried by itself, and what was said meanwhile comes from the relay's
// history when it still holds it.
"use strict";

(function () {
  const handleWidth = 10;
  // A line from this page waits this long for its logout line to come back, as the window does.
  const echoWaitMilliseconds = 5000;
  // The log keeps the newest texts within these bounds, as the window's log does.
  const maxLogTexts = 10000;
  const maxLogCharacters = 4000000;
  // The relay closes a browser whose message is above this many bytes of UTF-8.
  const maxMessageBytes = 1024 * 1024;
  // Retries after a lost connection wait longer each time, up to the last step; a little chance
  // in each wait keeps the pages of a whole office from coming back in the same instant.
  const retrySeconds = [1, 2, 4, 8, 15, 30];
  // Timers that fell this far behind mean the machine slept: the relay gives up a silent browser
  // after 90 s, so the connection is taken as lost even if the browser has not noticed.
  const sleptMilliseconds = 90000;
  const wakeCheckMilliseconds = 5000;
  const nameKey = "prynechat.handle";
  const blockMaxTexts = 50;
  const blockMaxCharacters = 20000;
  // The newest blocks are always laid out, more than a screen of text, so the log's end is
  // where it shows; older ones only when they come near the view.
  const nearCharacters = 10000;

  const joinForm = document.getElementById("join");
  const handleField = document.getElementById("handle");
  const joinButton = document.getElementById("joinButton");
  const notice = document.getElementById("notice");
  const log = document.getElementById("log");
  const sendForm = document.getElementById("send");
  const textField = document.getElementById("text");
  const sendButton = document.getElementById("sendButton");
  const leaveButton = document.getElementById("leaveButton");
  const soundBox = document.getElementById("sound");

  let socket = null;
  let handleName = "";
  let socketNumber = 0;
  let lastSent = "";
  let leaving = false;
  let opened = false;
  let wanted = false; // the user joined and has not left: a lost connection is retried
  let retryTimer = 0;
  let retryCount = 0;
  let leaveTimer = 0;
  const history = []; // newest first
  let historyIndex = -1;

  // Which relay's numbers the texts shown are counted in, and the number of the next one.
  let relayId = null;
  let expectedNumber = null;

  // Texts wait here until the next frame: a burst is put on the page in one go.
  let pending = [];
  let pendingCharacters = 0;
  let drawScheduled = false;
  let logTexts = 0;
  let logCharacters = 0;
  let block = null; // the block texts are added to
  let blockTexts = 0;
  let blockCharacters = 0;
  let blockEnded = false; // its last text ended a line
  const newestBlocks = []; // laid out always: { element, characters }

  const baseTitle = document.title;
  let joinedTitle = baseTitle;
  let unread = 0;
  let audio = null;

  // The handle name rule of the start window: empty or over ten characters becomes Default.
  function handleFrom(text) {
    return text.length === 0 || text.length > handleWidth ? "Default" : text;
  }

  // A browser cannot learn its own port, so its lines carry a number from the range that
  // ephemeral ports are drawn from, as a program's client's lines carry its port.
  function pickSocketNumber() {
    return 32768 + Math.floor(Math.random() * (60999 - 32768 + 1));
  }

  function chatLine(text) {
    return socketNumber + "@" + handleName.padEnd(handleWidth, " ") + "|" + text + "\r\n";
  }

  function dateTimeText() {
    const now = new Date();
    const date = new Intl.DateTimeFormat(undefined, { dateStyle: "short" }).format(now);
    const time = new Intl.DateTimeFormat(undefined, { timeStyle: "medium" }).format(now);
    return date + "/" + time;
  }

  function sendLine(text) {
    lastSent = chatLine(text);
    socket.send(lastSent);
  }

  function scheduleDraw() {
    if (drawScheduled) {
      return;
    }
    drawScheduled = true;
    // A hidden page gets no frames; it still keeps its log within bounds.
    if (document.hidden) {
      setTimeout(draw, 1000);
    } else {
      requestAnimationFrame(draw);
    }
  }

  // A text, or a mark (an object with its label) between texts.
  function queue(item) {
    pending.push(item);
    pendingCharacters += typeof item === "string" ? item.length : 0;
    let drop = 0;
    while (pending.length - drop > maxLogTexts || pendingCharacters > maxLogCharacters) {
      const first = pending[drop++];
      pendingCharacters -= typeof first === "string" ? first.length : 0;
    }
    if (drop > 0) {
      pending = pending.slice(drop);
    }
    scheduleDraw();
  }

  // The log is a column of blocks of a few texts each: the browser lays out only the block that
  // grew, not the whole log, however full it is. A block ends only after a line end, so a text
  // without one still runs on into the next on the same line, as in the window's log.
  function openBlock(fragment) {
    block = document.createElement("div");
    block.className = "block";
    blockTexts = 0;
    blockCharacters = 0;
    fragment.appendChild(block);
    newestBlocks.push({ element: block, characters: 0 });
  }

  function leaveTheNewestNear() {
    let characters = 0;
    let index = newestBlocks.length;
    while (index > 0 && characters < nearCharacters) {
      index -= 1;
      characters += newestBlocks[index].characters;
    }
    for (const far of newestBlocks.splice(0, index)) {
      far.element.classList.add("far");
    }
  }

  function draw() {
    drawScheduled = false;
    if (pending.length === 0) {
      return;
    }
    const atEnd = log.scrollHeight - log.scrollTop - log.clientHeight < 4;
    const fragment = document.createDocumentFragment();
    for (const item of pending) {
      if (typeof item === "string") {
        // A block past its bound by far ends even inside a line: one line of megabytes would
        // otherwise be laid out again, whole, at every frame.
        if (!block || (blockEnded
          && (blockTexts >= blockMaxTexts || blockCharacters >= blockMaxCharacters))
          || blockCharacters >= blockMaxCharacters * 4) {
          openBlock(fragment);
        }
        // Each text its own bidi isolate: no text can reorder the one after it.
        const line = document.createElement("span");
        line.textContent = item;
        block.appendChild(line);
        blockTexts += 1;
        blockCharacters += item.length;
        newestBlocks[newestBlocks.length - 1].characters += item.length;
        blockEnded = item.endsWith("\n");
        logTexts += 1;
        logCharacters += item.length;
      } else {
        const mark = document.createElement("div");
        mark.className = "mark";
        mark.setAttribute("role", "separator");
        mark.setAttribute("aria-label", item.label);
        mark.dataset.label = item.label;
        fragment.appendChild(mark);
        block = null;
      }
    }
    pending = [];
    pendingCharacters = 0;
    leaveTheNewestNear();
    log.appendChild(fragment);
    while (log.firstElementChild && (logTexts > maxLogTexts || logCharacters > maxLogCharacters)) {
      const first = log.firstElementChild;
      const line = first.firstElementChild;
      if (line) {
        logTexts -= 1;
        logCharacters -= line.textContent.length;
        line.remove();
      }
      if (!first.firstElementChild) {
        if (first === block) {
          block = null;
        }
        first.remove();
      }
    }
    if (atEnd) {
      followEnd(2);
    }
  }

  // A block that comes near the view is laid out at the next frame and may grow: the end is
  // followed for a frame or two more.
  function followEnd(frames) {
    log.scrollTop = log.scrollHeight;
    if (frames > 0) {
      requestAnimationFrame(function () {
        followEnd(frames - 1);
      });
    }
  }

  function showNotice(text) {
    notice.textContent = text;
  }

  function showTitle() {
    document.title = (unread > 0 ? "(" + unread + ") " : "") + joinedTitle;
  }

  function beep() {
    if (!audio || !soundBox.checked) {
      return;
    }
    const tone = audio.createOscillator();
    const volume = audio.createGain();
    tone.frequency.value = 880;
    volume.gain.setValueAtTime(0.08, audio.currentTime);
    volume.gain.exponentialRampToValueAtTime(0.0001, audio.currentTime + 0.15);
    tone.connect(volume).connect(audio.destination);
    tone.start();
    tone.stop(audio.currentTime + 0.15);
  }

  // The controls for each state; the text field keeps its draft and its focus throughout.
  function showState(state) {
    const inChat = state !== "out";
    handleField.disabled = inChat;
    joinButton.disabled = state === "connecting" || state === "joined";
    joinButton.textContent = state === "lost" ? "今すぐ再接続"
      : state === "out" && relayId !== null ? "もう一度参加" : "参加";
    textField.disabled = !inChat;
    sendButton.disabled = state !== "joined";
    leaveButton.disabled = !inChat || leaving;
  }

  // A history of the relay's: the texts before this page came, or those it missed.
  function takeHistory(data) {
    let message;
    try {
      message = JSON.parse(new TextDecoder().decode(data));
    } catch (error) {
      return;
    }
    const texts = Array.isArray(message.texts) ? message.texts : [];
    let from = 0;
    if (expectedNumber === null) {
      texts.forEach(queue);
      if (texts.length > 0) {
        queue({ label: "以上、参加前の発言" });
      }
    } else {
      if (message.relay === relayId && expectedNumber >= message.first) {
        from = Math.min(texts.length, expectedNumber - message.first);
      } else {
        queue({ label: "ここで発言が抜けています" });
      }
      texts.slice(from).forEach(queue);
    }
    relayId = message.relay;
    expectedNumber = message.first + texts.length;
  }

  function connect() {
    clearTimeout(retryTimer);
    retryTimer = 0;
    if (socket) {
      return;
    }
    opened = false;
    leaving = false;
    socketNumber = pickSocketNumber();
    showState("connecting");
    showNotice(retryCount > 0 ? "再接続しています…" : "接続しています…");
    const current = new WebSocket("ws://" + location.host + "/chat");
    current.binaryType = "arraybuffer";
    socket = current;
    current.onopen = function () {
      opened = true;
      const again = retryCount > 0;
      retryCount = 0;
      showState("joined");
      showNotice(again ? "再接続しました。" : "参加しました。");
      sendLine("ログイン - " + dateTimeText());
      const port = location.port ? location.port : "80";
      joinedTitle = "[" + handleName + ":" + location.hostname + ":" + port + "] - クライアント";
      showTitle();
      if (document.activeElement === document.body || document.activeElement === joinButton) {
        textField.focus();
      }
    };
    current.onmessage = function (event) {
      if (typeof event.data !== "string") {
        takeHistory(event.data);
        return;
      }
      if (expectedNumber !== null) {
        expectedNumber += 1;
      }
      queue(event.data);
      if (event.data === lastSent) {
        if (leaving) {
          finishLeaving();
        }
      } else if (document.hidden) {
        unread += 1;
        showTitle();
        beep();
      }
    };
    current.onclose = function () {
      if (socket !== current) {
        return;
      }
      socket = null;
      clearTimeout(leaveTimer);
      if (leaving || !wanted) {
        return;
      }
      retryLater(opened ? "切断されました。" : "接続に失敗しました。");
    };
  }

  function retryLater(why) {
    const step = retrySeconds[Math.min(retryCount, retrySeconds.length - 1)];
    const seconds = Math.round(step * (1 + Math.random() * 0.3));
    retryCount += 1;
    showState("lost");
    showNotice(why + seconds + " 秒後に再接続します。");
    retryTimer = setTimeout(connect, seconds * 1000);
  }

  // The page became visible or the network came back: a pending retry goes now.
  function retryNow() {
    if (wanted && !socket && retryTimer) {
      connect();
    }
  }

  function join() {
    if (socket || wanted) {
      if (!socket) {
        connect();
      }
      return;
    }
    const typed = handleField.value;
    handleName = handleFrom(typed);
    handleField.value = handleName;
    try {
      localStorage.setItem(nameKey, handleName);
    } catch (error) {
      // Storage may be off; the name is then asked for again next time.
    }
    wanted = true;
    retryCount = 0;
    connect();
    if (handleName !== typed) {
      showNotice("ハンドル名は 1 から 10 文字です。Default で参加します。");
    }
  }

  function finishLeaving() {
    clearTimeout(leaveTimer);
    // The close may wait long for a relay that does not answer; the page is out at once.
    const current = socket;
    socket = null;
    if (current) {
      current.close(1000);
    }
    leaving = false;
    showState("out");
    showNotice("退出しました。");
    joinedTitle = baseTitle;
    showTitle();
  }

  function leave() {
    if (!wanted || leaving) {
      return;
    }
    wanted = false;
    clearTimeout(retryTimer);
    retryTimer = 0;
    if (!socket || !opened) {
      finishLeaving();
      return;
    }
    leaving = true;
    showState("joined");
    sendLine("ログアウト - " + dateTimeText());
    // The line may never come back (the relay went away meanwhile): the wait has a bound.
    leaveTimer = setTimeout(finishLeaving, echoWaitMilliseconds);
  }

  function send() {
    if (!socket || !opened || leaving) {
      return;
    }
    const text = textField.value;
    if (new TextEncoder().encode(chatLine(text)).length > maxMessageBytes) {
      showNotice("テキストが長すぎるため送信できません (1 MiB まで)。");
      return;
    }
    sendLine(text);
    if (text !== (history.length > 0 ? history[0] : "")) {
      history.unshift(text);
    }
    historyIndex = -1;
    textField.value = "";
  }

  function browseHistory(step) {
    const index = historyIndex + step;
    if (index < -1 || index >= history.length) {
      return;
    }
    historyIndex = index;
    textField.value = index < 0 ? "" : history[index];
    textField.setSelectionRange(textField.value.length, textField.value.length);
  }

  joinForm.addEventListener("submit", function (event) {
    event.preventDefault();
    join();
  });
  sendForm.addEventListener("submit", function (event) {
    event.preventDefault();
    send();
  });
  leaveButton.addEventListener("click", leave);
  textField.addEventListener("keydown", function (event) {
    if (event.isComposing) {
      return;
    }
    if (event.key === "ArrowUp") {
      event.preventDefault();
      browseHistory(1);
    } else if (event.key === "ArrowDown") {
      event.preventDefault();
      browseHistory(-1);
    }
  });
  // A sound may only start after a gesture of the user's.
  soundBox.addEventListener("change", function () {
    if (soundBox.checked && !audio && window.AudioContext) {
      audio = new AudioContext();
    }
  });
  document.addEventListener("visibilitychange", function () {
    if (!document.hidden) {
      unread = 0;
      showTitle();
      retryNow();
    }
  });
  window.addEventListener("online", retryNow);
  let lastTick = Date.now();
  setInterval(function () {
    const now = Date.now();
    if (now - lastTick > sleptMilliseconds && socket && opened && !leaving) {
      // Woken from a sleep: the relay has let this page go, though the browser may not know.
      const stale = socket;
      socket = null;
      stale.close(1000);
      retryCount = Math.max(retryCount, 1);
      connect();
    }
    lastTick = now;
  }, wakeCheckMilliseconds);
  // Closing the tab says goodbye without waiting: the page cannot stay for the echo.
  window.addEventListener("pagehide", function () {
    if (socket && opened && !leaving) {
      leaving = true;
      sendLine("ログアウト - " + dateTimeText());
      socket.close(1000);
    }
  });
  try {
    handleField.value = localStorage.getItem(nameKey) || handleField.value;
  } catch (error) {
    // Storage may be off: the field keeps its Default.
  }
  handleField.focus();
})();

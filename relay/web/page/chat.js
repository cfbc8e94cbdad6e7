// The client window for a browser: join under a handle name, send chat lines, show every relayed
// text as plain text, leave with a logout line. Texts are only ever put on the page as text.
"use strict";

(function () {
  const handleWidth = 10;
  // A line from this page waits this long for its logout line to come back, as the window does.
  const echoWaitMilliseconds = 5000;
  // The log keeps the newest texts within these bounds, as the window's log does.
  const maxLogTexts = 10000;
  const maxLogCharacters = 4000000;

  const joinForm = document.getElementById("join");
  const handleField = document.getElementById("handle");
  const joinButton = document.getElementById("joinButton");
  const notice = document.getElementById("notice");
  const log = document.getElementById("log");
  const sendForm = document.getElementById("send");
  const textField = document.getElementById("text");
  const sendButton = document.getElementById("sendButton");
  const leaveButton = document.getElementById("leaveButton");

  let socket = null;
  let handleName = "";
  let socketNumber = 0;
  let lastSent = "";
  let waitingEcho = false;
  let leaving = false;
  let opened = false;
  let leaveTimer = 0;
  let logCharacters = 0;
  const history = []; // newest first
  let historyIndex = -1;

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
    waitingEcho = true;
    socket.send(lastSent);
  }

  function appendToLog(text) {
    const atEnd = log.scrollHeight - log.scrollTop - log.clientHeight < 4;
    log.appendChild(document.createTextNode(text));
    logCharacters += text.length;
    while (log.childNodes.length > 1
      && (log.childNodes.length > maxLogTexts || logCharacters > maxLogCharacters)) {
      logCharacters -= log.firstChild.nodeValue.length;
      log.removeChild(log.firstChild);
    }
    if (atEnd) {
      log.scrollTop = log.scrollHeight;
    }
  }

  function showNotice(text) {
    notice.textContent = text;
    notice.hidden = text === "";
  }

  function setJoined(joined) {
    handleField.disabled = joined;
    joinButton.disabled = joined;
    textField.disabled = !joined;
    sendButton.disabled = !joined;
    leaveButton.disabled = !joined;
  }

  function join() {
    if (socket) {
      return;
    }
    handleName = handleFrom(handleField.value);
    handleField.value = handleName;
    showNotice("");
    setJoined(true);
    textField.disabled = true;
    sendButton.disabled = true;
    leaveButton.disabled = true;
    opened = false;
    leaving = false;
    waitingEcho = false;
    socketNumber = pickSocketNumber();
    socket = new WebSocket("ws://" + location.host + "/chat");
    socket.onopen = function () {
      opened = true;
      setJoined(true);
      sendLine("ログイン - " + dateTimeText());
      document.title = "[" + handleName + ":" + location.hostname + ":" + location.port
        + "] - クライアント";
      textField.focus();
    };
    socket.onmessage = function (event) {
      if (typeof event.data !== "string") {
        return;
      }
      appendToLog(event.data);
      if (event.data === lastSent) {
        waitingEcho = false;
        if (leaving) {
          finishLeaving();
        }
      }
    };
    socket.onclose = function () {
      const wasLeaving = leaving;
      socket = null;
      clearTimeout(leaveTimer);
      setJoined(false);
      joinButton.textContent = "もう一度参加";
      document.title = "クライアント - Pryne Chat";
      if (!wasLeaving) {
        showNotice(opened ? "切断されました。" : "接続に失敗しました。");
      }
      leaving = false;
      joinButton.focus();
    };
  }

  function finishLeaving() {
    clearTimeout(leaveTimer);
    if (socket) {
      socket.close(1000);
    }
    showNotice("退出しました。");
  }

  function leave() {
    if (!socket || !opened || leaving) {
      return;
    }
    leaving = true;
    textField.disabled = true;
    sendButton.disabled = true;
    leaveButton.disabled = true;
    sendLine("ログアウト - " + dateTimeText());
    // The line may never come back (the relay went away meanwhile): the wait has a bound.
    leaveTimer = setTimeout(finishLeaving, echoWaitMilliseconds);
  }

  function send() {
    if (!socket || !opened || leaving) {
      return;
    }
    const text = textField.value;
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
  // Closing the tab says goodbye without waiting: the page cannot stay for the echo.
  window.addEventListener("pagehide", function () {
    if (socket && opened && !leaving) {
      leaving = true;
      sendLine("ログアウト - " + dateTimeText());
      socket.close(1000);
    }
  });
  handleField.focus();
})();

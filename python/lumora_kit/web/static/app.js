// The gateway page: joins a room through the gateway with the microphone and camera.
//
// One RTCPeerConnection carries the media: the microphone (sent; the room's mix comes back on
// the same transceiver), the camera (sent), and a fixed number of receive-only video slots the
// gateway fills with members' videos. A WebSocket beside it carries the offer and answer, the
// member list, messages and state. Everything from the room is shown with textContent (never as
// HTML), so user ids and messages cannot add markup or scripts to the page.
"use strict";

const $ = (id) => document.getElementById(id);

// The page's state, also for tests and benchmarks that drive the page.
const lumora = { pc: null, ws: null, local: null, slots: [], members: [], messages: [], joined: false };
window.lumora = lumora;

function setText(id, text) {
  $(id).textContent = text;
}

function addListItem(list, who, text, className) {
  const item = document.createElement("li");
  if (className) item.className = className;
  if (who !== null) {
    const name = document.createElement("span");
    name.className = "who";
    name.textContent = who;
    item.append(name);
  }
  item.append(document.createTextNode(text));
  $(list).append(item);
  item.scrollIntoView({ block: "nearest" });
}

function makeTile(label) {
  const tile = document.createElement("div");
  tile.className = "tile";
  const video = document.createElement("video");
  video.autoplay = true;
  video.muted = true; // sound comes through the room's mix
  video.playsInline = true;
  const name = document.createElement("span");
  name.className = "name";
  name.textContent = label;
  tile.append(video, name);
  $("tiles").append(tile);
  return { tile, video, name };
}

// The microphone's level, from the audio graph, shown as a bar.
function meter(stream) {
  const context = new AudioContext();
  const analyser = context.createAnalyser();
  analyser.fftSize = 1024;
  context.createMediaStreamSource(stream).connect(analyser);
  // The graph runs only when it reaches the output: through a silent gain, so nothing is heard.
  const silent = context.createGain();
  silent.gain.value = 0;
  analyser.connect(silent).connect(context.destination);
  context.resume();
  const samples = new Float32Array(analyser.fftSize);
  const bar = $("mic-level");
  const track = stream.getAudioTracks()[0];
  const draw = () => {
    if (track.readyState === "ended") return; // left: the microphone was stopped
    analyser.getFloatTimeDomainData(samples);
    let sum = 0;
    for (const s of samples) sum += s * s;
    const rms = Math.sqrt(sum / samples.length);
    lumora.micLevel = rms;
    const dbfs = 20 * Math.log10(Math.max(rms, 1e-6)); // the bar spans -60 dBFS to 0
    bar.style.width = `${Math.max(0, Math.min(100, Math.round((dbfs + 60) * 100 / 60)))}%`;
    setTimeout(draw, 50);
  };
  lumora.audioContext = context;
  draw();
}

function iceGathered(pc, timeoutMs) {
  // The gateway takes the offer with all its candidates (no trickling).
  return new Promise((resolve) => {
    if (pc.iceGatheringState === "complete") return resolve();
    const done = () => { if (pc.iceGatheringState === "complete") resolve(); };
    pc.addEventListener("icegatheringstatechange", done);
    setTimeout(resolve, timeoutMs);
  });
}

function showMembers(users) {
  lumora.members = users;
  const list = $("members");
  list.replaceChildren();
  addListItem("members", null, `${lumora.user} (you)`);
  for (const user of users) addListItem("members", null, user);
}

function showSlot(index, user) {
  const slot = lumora.slots[index];
  if (!slot) return;
  slot.user = user;
  slot.view.name.textContent = user ?? "";
  slot.view.tile.hidden = user === null;
}

function onMessage(event) {
  const message = JSON.parse(event.data);
  switch (message.type) {
    case "answer":
      lumora.slotMids = message.slots;
      lumora.pc.setRemoteDescription({ type: "answer", sdp: message.sdp });
      break;
    case "joined":
      lumora.joined = true;
      setText("page-state", `in room ${message.room}`);
      $("message").disabled = $("send").disabled = false;
      break;
    case "members":
      showMembers(message.users);
      break;
    case "slot":
      showSlot(message.index, message.user);
      break;
    case "message":
      lumora.messages.push({ user: message.user, text: message.text });
      addListItem("messages", `${message.user}:`, message.text);
      break;
    case "sei":
      addListItem("messages", `${message.user} (SEI):`, message.text);
      break;
    case "connection":
      setText("media-state", message.state);
      break;
    case "room-connection":
      setText("page-state", `room: ${message.state}`);
      break;
    case "error":
      addListItem("messages", "error:", message.text, "error");
      break;
    case "left":
      setText("page-state", "left");
      break;
  }
}

async function join(event) {
  event.preventDefault();
  $("join").disabled = true;
  try {
    const room = $("room").value.trim();
    const user = $("user").value;
    lumora.user = user;
    const config = await (await fetch("/config")).json();
    const local = await navigator.mediaDevices.getUserMedia({
      audio: true, video: { width: 640, height: 360, frameRate: 30 },
    });
    lumora.local = local;
    const own = makeTile(`${user} (you)`);
    own.video.srcObject = local;

    const pc = new RTCPeerConnection();
    lumora.pc = pc;
    pc.addTransceiver(local.getAudioTracks()[0], { direction: "sendrecv", streams: [local] });
    pc.addTransceiver(local.getVideoTracks()[0], { direction: "sendonly", streams: [local] });
    const slotTransceivers = [];
    for (let i = 0; i < config.video_slots; i++) {
      slotTransceivers.push(pc.addTransceiver("video", { direction: "recvonly" }));
    }
    pc.ontrack = (e) => {
      if (e.track.kind === "audio") {
        $("room-audio").srcObject = new MediaStream([e.track]);
        return;
      }
      const index = (lumora.slotMids || []).indexOf(e.transceiver.mid);
      const slot = lumora.slots[index];
      if (slot) slot.view.video.srcObject = new MediaStream([e.track]);
    };
    pc.onconnectionstatechange = () => setText("media-state", pc.connectionState);
    lumora.slots = slotTransceivers.map(() => {
      const view = makeTile("");
      view.tile.hidden = true;
      return { view, user: null };
    });
    await pc.setLocalDescription(await pc.createOffer());
    await iceGathered(pc, 3000);

    const scheme = location.protocol === "https:" ? "wss" : "ws";
    const ws = new WebSocket(`${scheme}://${location.host}/ws`);
    lumora.ws = ws;
    ws.onopen = () => {
      setText("page-state", "joining");
      ws.send(JSON.stringify({ type: "join", room, user, offer: { type: "offer", sdp: pc.localDescription.sdp } }));
    };
    ws.onmessage = onMessage;
    ws.onclose = () => {
      lumora.joined = false;
      setText("page-state", "closed");
      $("message").disabled = $("send").disabled = true;
    };
    meter(local);
    $("leave").disabled = false;
  } catch (error) {
    addListItem("messages", "error:", String(error), "error");
    $("join").disabled = false;
  }
}

function leave() {
  if (lumora.ws && lumora.ws.readyState === WebSocket.OPEN) lumora.ws.send(JSON.stringify({ type: "leave" }));
  if (lumora.pc) lumora.pc.close();
  if (lumora.local) for (const track of lumora.local.getTracks()) track.stop();
  lumora.joined = false;
  $("leave").disabled = true;
}

function sendMessage(event) {
  event.preventDefault();
  const text = $("message").value;
  if (!text || !lumora.ws || lumora.ws.readyState !== WebSocket.OPEN) return;
  lumora.ws.send(JSON.stringify({ type: "message", text }));
  addListItem("messages", `${lumora.user} (you):`, text);
  $("message").value = "";
}

async function init() {
  const config = await (await fetch("/config")).json();
  const params = new URLSearchParams(location.search);
  $("room").value = params.get("room") ?? config.room;
  $("user").value = params.get("user") ?? `guest-${Math.floor(Math.random() * 10000)}`;
  $("join-form").addEventListener("submit", join);
  $("leave").addEventListener("click", leave);
  $("message-form").addEventListener("submit", sendMessage);
  window.addEventListener("pagehide", () => { if (lumora.ws) lumora.ws.close(); });
}

init();

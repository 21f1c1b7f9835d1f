// The operator's page: the station's state from /events, redrawn as each
// event comes; its buttons POST to the API, with the token asked for once
// when the station wants one.
"use strict";
const kShownJobs = 50;
let paused = false;

function element(tag, className, text) {
  const made = document.createElement(tag);
  if (className) made.className = className;
  if (text !== undefined) made.textContent = text;
  return made;
}

async function post(path) {
  for (let attempt = 0; attempt < 2; ++attempt) {
    const token = sessionStorage.getItem("token");
    const headers = token ? { Authorization: "Bearer " + token } : {};
    const answer = await fetch(path, { method: "POST", headers });
    if (answer.status !== 401) return answer;
    const given = prompt("This station's token:");
    if (!given) return answer;
    sessionStorage.setItem("token", given);
  }
}

function drawTile(slot) {
  const tile = element("div", "tile");
  tile.dataset.slot = slot.name;
  tile.dataset.state = slot.state;
  tile.append(element("div", "name", slot.name), element("div", "serial", slot.serial ? "USB serial " + slot.serial : "no USB serial"),
              element("div", "state", slot.state));
  const bar = element("progress");
  bar.max = slot.total;
  bar.value = slot.state === "writing" ? slot.sent : slot.state === "written" ? slot.total : 0;
  const percent = slot.total ? Math.floor(100 * slot.sent / slot.total) : 0;
  if (slot.board_serial !== null)
    tile.append(element("div", "board-serial", `Board serial number ${slot.board_serial}` +
                        (slot.serial_state === "out" ? "" : ` (${slot.serial_state})`)));
  tile.append(bar, element("div", "text", slot.state === "writing" ? `${slot.sent} of ${slot.total} bytes, ${percent}%` : slot.text));
  if (["written", "failed", "aborted", "not opened"].includes(slot.state)) {
    const next = element("button", "next", "Next board");
    next.type = "button";
    next.onclick = () => post("/api/slots/" + encodeURIComponent(slot.name) + "/next");
    tile.append(next);
  }
  return tile;
}

function drawStatus(status) {
  const banner = document.getElementById("banner");
  banner.className = "";
  banner.textContent = status.banner;
  banner.hidden = !status.banner;
  const image = document.getElementById("image");
  image.textContent = `${status.image.file} \u2014 SHA-256 ${status.image.sha256} \u2014 ${status.image.bytes} bytes`;
  const recipe = document.getElementById("recipe");
  recipe.hidden = !status.recipe;
  if (status.recipe)
    recipe.textContent = [`Recipe ${status.recipe.name}`, ...Object.entries(status.recipe.trace).map(([key, value]) => `${key} ${value}`)]
      .join(" \u2014 ");
  const t = status.tally;
  const tally = document.getElementById("tally");
  tally.replaceChildren();
  for (const [label, value] of [["written", t.written], ["failed", t.failed], ["aborted", t.aborted], ["yield", t.yield.toFixed(1) + "%"],
                                ["written/h", status.written_per_hour.toFixed(0)], ["failed/h", status.failed_per_hour.toFixed(0)]]) {
    const item = element("span", "", label + " ");
    item.dataset.tally = label;
    item.append(element("b", "", String(value)));
    tally.append(item);
  }
  document.getElementById("slots").replaceChildren(...status.slots.map(drawTile));
  paused = status.state === "paused";
  document.getElementById("pause").textContent = paused ? "Resume" : "Pause";
}

function addJob(job) {
  const row = element("tr");
  row.dataset.result = job.result;
  for (const cell of [job.n, job.ended.replace("T", " ").replace("Z", ""), job.port, job.serial, job.result, job.reason])
    row.append(element("td", "", String(cell)));
  const body = document.querySelector("#jobs tbody");
  body.prepend(row);
  while (body.rows.length > kShownJobs) body.deleteRow(-1);
}

document.getElementById("pause").onclick = () => post(paused ? "/api/resume" : "/api/pause");
document.getElementById("stop").onclick = () => { if (confirm("Stop the station? Jobs under way are aborted.")) post("/api/stop"); };

const events = new EventSource("/events");
events.onopen = () => document.querySelector("#jobs tbody").replaceChildren();  // the stream sends the last jobs again
events.addEventListener("status", (event) => drawStatus(JSON.parse(event.data)));
events.addEventListener("job", (event) => addJob(JSON.parse(event.data)));
events.onerror = () => {
  const banner = document.getElementById("banner");
  banner.textContent = "No connection to the station: trying again";
  banner.className = "lost";
  banner.hidden = false;
};

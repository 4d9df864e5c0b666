"use strict";
// The designer page: every change of the form asks the server for a fresh
// rendering (debounced); only the answer to the latest request is shown.

const $ = (selector, root = document) => root.querySelector(selector);
const PAINTS = [
  // part, legend, solid-colour field, gradient field
  ["module", "Modules", "module_color", "module_gradient"],
  ["ring", "Rings", "ring_color", "ring_gradient"],
  ["center", "Centres", "center_color", "center_gradient"],
  ["background", "Background", "background", "background_gradient"],
];
const DEBOUNCE_MS = 150;

let options = null;     // limits and names the server announces
let logo = null;        // {logo: token, width, height} of the uploaded logo
let latest = 0;         // number of the latest render request
let timer = null;
let svgUrl = null;

function fillSelect(select, entries) {
  select.replaceChildren(...entries.map(([value, label]) => new Option(label, value)));
}

function named(values, unset) {
  return [["", unset], ...values.map((v) => [v, v])];
}

function buildPaints() {
  const template = $("#paint");
  for (const [part, legend] of PAINTS) {
    const box = template.content.firstElementChild.cloneNode(true);
    box.id = `paint-${part}`;
    $("legend", box).textContent = legend;
    if (part === "background") {
      $(".mode", box).add(new Option("transparent", "transparent"));
      $(".color", box).value = "#ffffff";
    }
    $("#paints").append(box);
  }
}

function syncVisibility() {
  const kind = $("#kind").value;
  for (const set of document.querySelectorAll("fieldset[data-kind]")) {
    set.hidden = set.dataset.kind !== kind;
  }
  for (const box of document.querySelectorAll(".paint")) {
    const mode = $(".mode", box).value;
    $(".solid", box).hidden = mode !== "solid";
    $(".gradient", box).hidden = mode !== "gradient";
    $(".angle-shown", box).textContent = `${$(".angle", box).value}°`;
  }
  $("#logo-size-shown").textContent = Number($("#logo-size").value).toFixed(2);
}

function content() {
  const kind = $("#kind").value;
  const fields = { kind };
  for (const input of document.querySelectorAll(`fieldset[data-kind="${kind}"] [name]`)) {
    fields[input.name] = input.value;
  }
  return fields;
}

function look() {
  const result = {};
  const choose = (field, id) => { if ($(id).value) result[field] = $(id).value; };
  choose("preset", "#preset");
  choose("module_style", "#module-style");
  choose("ring_style", "#ring-style");
  choose("center_style", "#center-style");
  for (const [part, , solid, gradient] of PAINTS) {
    const box = $(`#paint-${part}`);
    const mode = $(".mode", box).value;
    if (mode === "solid") result[solid] = $(".color", box).value;
    if (mode === "transparent") result[solid] = "#ffffff00";
    if (mode === "gradient") {
      result[gradient] = {
        start: $(".start", box).value, end: $(".end", box).value,
        kind: $(".kind", box).value, rotation: Number($(".angle", box).value),
      };
    }
  }
  if (logo) {
    result.logo = logo.logo;
    result.logo_size = Number($("#logo-size").value);
    result.logo_margin = $("#logo-margin").value;
  }
  return result;
}

function request() {
  return {
    content: content(), look: look(), level: $("#level").value,
    module_size: $("#module-size").value, quiet_zone: $("#quiet-zone").value,
  };
}

async function post(url, body, type) {
  try {
    const response = await fetch(url, { method: "POST", headers: { "Content-Type": type }, body });
    const answer = await response.json().catch(() => ({}));
    if (response.ok) return answer;
    return { error: answer.error || `the server answered ${response.status}` };
  } catch (e) {
    return { error: "the designer server does not answer: is it still running?" };
  }
}

function setDownload(id, href) {
  const link = $(id);
  if (href) link.href = href; else link.removeAttribute("href");
  link.setAttribute("aria-disabled", href ? "false" : "true");
}

function showMessage(text) {
  $("#message").textContent = text || "";
  $("#message").hidden = !text;
}

function showError(text) {
  showMessage(text);
  $("#verdict").hidden = true;
  $("#facts").textContent = "";
  setDownload("#download-png", null);
  setDownload("#download-svg", null);
  document.body.dataset.state = "error";
}

function showResult(answer) {
  const png = `data:image/png;base64,${answer.png}`;
  if (svgUrl) URL.revokeObjectURL(svgUrl);
  svgUrl = URL.createObjectURL(new Blob([answer.svg], { type: "image/svg+xml" }));
  $("#png-preview").src = png;
  $("#svg-preview").src = svgUrl;
  setDownload("#download-png", png);
  setDownload("#download-svg", svgUrl);
  const verdict = $("#verdict");
  verdict.textContent = answer.verdict;
  verdict.className = answer.reads ? "ok" : "warn";
  verdict.hidden = false;
  verdict.dataset.reads = String(answer.reads);
  $("#facts").textContent = `Version ${answer.version}, level ${answer.level}, ` +
    `${answer.width} × ${answer.width} px. Encoded text: ${answer.text}`;
  showMessage(null);
  document.body.dataset.state = "ok";
}

async function render() {
  const mine = ++latest;
  document.body.dataset.state = "busy";
  const answer = await post("/api/render", JSON.stringify(request()), "application/json");
  if (mine !== latest) return;
  if (answer.error) showError(answer.error); else showResult(answer);
  countAnswer();
}

// The page counts the answers it has shown, so that a test can wait for one.
function countAnswer() {
  document.body.dataset.renders = String(Number(document.body.dataset.renders) + 1);
}

function schedule(event) {
  if (event && event.target === $("#logo-file")) return;  // uploadLogo handles it
  syncVisibility();
  // Answers to requests made before this change are stale from now on.
  latest++;
  document.body.dataset.state = "busy";
  clearTimeout(timer);
  timer = setTimeout(render, DEBOUNCE_MS);
}

function setLogo(value, note) {
  logo = value;
  $("#logo-state").textContent = note;
  $("#logo-state").dataset.state = value ? "set" : "none";
  $("#logo-remove").disabled = !value;
}

async function uploadLogo() {
  const file = $("#logo-file").files[0];
  if (!file) return;
  const mine = ++latest;
  document.body.dataset.state = "busy";
  const tooLarge = { error: `the logo is too large: at most ${options.max_logo_bytes / 1024} KB` };
  const answer = file.size > options.max_logo_bytes ? tooLarge
    : await post("/api/logo", file, "application/octet-stream");
  if (mine !== latest) return;
  if (answer.error) {
    $("#logo-file").value = "";
    setLogo(null, "No logo.");
    showError(`Logo refused: ${answer.error}`);
    countAnswer();
    return;
  }
  setLogo(answer,
    `${file.name}, ${answer.width} × ${answer.height} px (level H while a logo is set).`);
  render();
}

async function start() {
  buildPaints();
  const response = await fetch("/api/options").catch(() => null);
  if (!response || !response.ok) {
    showError("the designer server does not answer: is it still running?");
    return;
  }
  options = await response.json();
  fillSelect($("#preset"), named(options.presets, "none (plain)"));
  fillSelect($("#module-style"), named(options.module_styles, "preset's"));
  fillSelect($("#ring-style"), named(options.ring_styles, "preset's"));
  fillSelect($("#center-style"), named(options.center_styles, "preset's"));
  fillSelect($("#level"), options.levels.map((l) => [l, l]));
  $("#level").value = "M";
  $("#module-size").max = options.max_module_size;
  $("#quiet-zone").max = options.max_quiet_zone;
  const form = $("#design");
  form.addEventListener("input", schedule);
  form.addEventListener("change", schedule);
  form.addEventListener("submit", (event) => event.preventDefault());
  $("#logo-file").addEventListener("change", uploadLogo);
  $("#logo-remove").addEventListener("click", () => {
    $("#logo-file").value = "";
    setLogo(null, "No logo.");
    render();
  });
  syncVisibility();
  render();
}

start();

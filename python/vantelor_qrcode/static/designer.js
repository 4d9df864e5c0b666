"use strict";
// The designer page: every change of the form asks the server for a fresh
// rendering (debounced); only the answer to the latest request is shown.
// The whole design lives in the address's fragment (nothing on the server),
// so a reload or a shared link brings it back; an uploaded logo stays in
// this browser's storage and is only named in the fragment.

const $ = (selector, root = document) => root.querySelector(selector);
const $$ = (selector, root = document) => [...root.querySelectorAll(selector)];
const PAINTS = [
  // part, legend, solid-colour field, gradient field, gradient's first colours
  ["module", "Modules", "module_color", "module_gradient", ["#0b3d91", "#d7263d"]],
  ["ring", "Finder rings", "ring_color", "ring_gradient", ["#0b3d91", "#d7263d"]],
  ["center", "Finder centres", "center_color", "center_gradient", ["#0b3d91", "#d7263d"]],
  // A background gradient starts light, so that the code stays readable.
  ["background", "Background", "background", "background_gradient", ["#ffffff", "#dce6f5"]],
];
// Server field names that are not a payload field: the control that sets each.
const FIELD_CONTROLS = {
  level: "#level", module_size: "#module-size", quiet_zone: "#quiet-zone",
  logo: "#logo-file", logo_size: "#logo-size", logo_margin: "#logo-margin", preset: "#preset",
  module_style: "#module-style", ring_style: "#ring-style", center_style: "#center-style",
  print_size: "#print-size", print_unit: "#print-unit", dpi: "#dpi",
};
const HEX = /^#[0-9a-fA-F]{6}$/;
const DEBOUNCE_MS = 150;
const LOGOS_KEPT = 4;          // logos this browser keeps for reloads and links
const LOGO_STORE = "vqr-logo:";

let options = null;     // limits and names the server announces
let logo = null;        // {logo: token, width, height, name, key} of the logo in use
let missingLogo = null; // {name, key} of a logo a link asks for that this browser lacks
let latest = 0;         // number of the latest render request
let timer = null;
let svgUrl = null;
let recipes = null;     // the latest answer's commands
let recipeShown = "vqr";
let defaults = null;    // data-key -> the value a control starts with
let writtenHash = "";
let printNote = "";     // what the print note says while no print size is set

function fillSelect(select, entries) {
  select.replaceChildren(...entries.map(([value, label]) => new Option(label, value)));
}

function named(values, unset) {
  return [["", unset], ...values.map((v) => [v, v])];
}

// ---- Building the form -----------------------------------------------------------------

function addHexField(picker, name) {
  const hex = document.createElement("input");
  hex.type = "text";
  hex.className = "hex";
  hex.value = picker.value;
  hex.size = 8;
  hex.spellcheck = false;
  hex.setAttribute("aria-label", `${name} as #rrggbb`);
  picker.closest("label").after(hex);
  picker.addEventListener("input", () => { hex.value = picker.value; });
  hex.addEventListener("input", () => {
    picker.dataset.touched = "1";
    if (HEX.test(hex.value)) picker.value = hex.value;
  });
}

function buildPaints() {
  const template = $("#paint");
  for (const [part, legend, , , [start, end]] of PAINTS) {
    const box = template.content.firstElementChild.cloneNode(true);
    box.id = `paint-${part}`;
    $("legend", box).textContent = legend;
    if (part === "background") {
      $(".mode", box).add(new Option("transparent", "transparent"));
      $(".color", box).value = "#ffffff";
    }
    $(".start", box).value = start;
    $(".end", box).value = end;
    for (const field of ["mode", "color", "start", "end", "kind", "angle"]) {
      $(`.${field}`, box).dataset.key = `${part}.${field}`;
    }
    for (const [field, name] of [["color", "colour"], ["start", "gradient start"],
      ["end", "gradient end"]]) {
      addHexField($(`.${field}`, box), `${legend} ${name}`);
    }
    $("#paints").append(box);
  }
}

function keyContentFields() {
  for (const set of $$("fieldset[data-kind]")) {
    for (const input of $$("[name]", set)) input.dataset.key = `${set.dataset.kind}.${input.name}`;
  }
}

// ---- What the preset draws ------------------------------------------------------------

function describePaint(paint) {
  return typeof paint === "string" ? paint
    : `${paint.kind} gradient ${paint.start} → ${paint.end}`;
}

function paintCss(paint) {
  return typeof paint === "string" ? paint
    : `linear-gradient(${paint.rotation + 90}deg, ${paint.start}, ${paint.end})`;
}

// Controls left to the preset say what the preset (or the default look) draws.
function showPresetLook() {
  const preset = $("#preset").value;
  const look = options.preset_looks[preset];
  const from = preset ? "preset" : "default";
  for (const part of ["module", "ring", "center"]) {
    $(`#${part}-style`).options[0].text = `${from}: ${look[`${part}_style`]}`;
  }
  for (const [part] of PAINTS) {
    const box = $(`#paint-${part}`);
    $(".mode", box).options[0].text = `${from}: ${describePaint(look[part])}`;
    $(".swatch", box).style.background = paintCss(look[part]);
    $(".swatch", box).hidden = $(".mode", box).value !== "";
  }
}

// A part switched to its own paint starts from what the preset drew there.
function startFromPreset(box, part) {
  const paint = options.preset_looks[$("#preset").value][part];
  const pickers = typeof paint === "string" ? [[".color", paint]]
    : [[".start", paint.start], [".end", paint.end]];
  for (const [selector, value] of pickers) {
    const picker = $(selector, box);
    if (picker.dataset.touched) continue;
    picker.value = value;
    picker.closest("label").nextElementSibling.value = value;
  }
}

function syncVisibility() {
  const kind = $("#kind").value;
  for (const set of $$("fieldset[data-kind]")) set.hidden = set.dataset.kind !== kind;
  for (const box of $$(".paint")) {
    const mode = $(".mode", box).value;
    $(".solid", box).hidden = mode !== "solid";
    $(".gradient", box).hidden = mode !== "gradient";
    $(".angle-box", box).hidden = $(".kind", box).value !== "linear";
    // The slider announces its own value; the text beside it is for the eye.
    $(".angle-shown", box).textContent = `${$(".angle", box).value}°`;
    $(".angle", box).setAttribute("aria-valuetext", `${$(".angle", box).value} degrees`);
  }
  $("#logo-size-shown").textContent = Number($("#logo-size").value).toFixed(2);
  // The unit belongs to a print size; a DPI alone gives the SVG millimetres.
  $("#print-unit").disabled = !$("#print-size").value.trim();
  showPresetLook();
}

// ---- The request -------------------------------------------------------------------------

function content() {
  const kind = $("#kind").value;
  const fields = { kind };
  for (const input of $$(`fieldset[data-kind="${kind}"] [name]`)) fields[input.name] = input.value;
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

// A control the design overrides (the level while a logo is set, the module
// size while a print size is) shows the value used, disabled; the user's own
// value comes back when the override ends.
const HELD = ["#level", "#module-size"];

function chosen(control) {
  return control.dataset.chosen ?? control.value;
}

function hold(control, used) {
  control.dataset.chosen = chosen(control);
  control.value = used;
  control.disabled = true;
}

function release(control) {
  if (!control.disabled) return;
  control.value = chosen(control);
  delete control.dataset.chosen;
  control.disabled = false;
}

function request() {
  return {
    content: content(), look: look(), level: chosen($("#level")),
    module_size: chosen($("#module-size")), quiet_zone: $("#quiet-zone").value,
    print_size: $("#print-size").value, print_unit: $("#print-unit").value, dpi: $("#dpi").value,
    logo_name: logo ? logo.name : "",
  };
}

async function post(url, body, type) {
  try {
    const response = await fetch(url, { method: "POST", headers: { "Content-Type": type }, body });
    const answer = await response.json().catch(() => ({}));
    if (response.ok) return answer;
    return { error: answer.error || `the server answered ${response.status}`,
      fields: answer.fields || [] };
  } catch (e) {
    return { error: "the designer server does not answer: is it still running?", fields: [] };
  }
}

// ---- Errors tied to their fields ------------------------------------------------------------

function controlsOf(field) {
  if (FIELD_CONTROLS[field]) return [$(FIELD_CONTROLS[field])];
  for (const [part, , solid, gradient] of PAINTS) {
    if (field === solid) return [$(`#paint-${part} .solid .hex`)];
    if (field === gradient) return $$(`#paint-${part} .gradient .hex`);
  }
  const named = $(`fieldset[data-kind="${$("#kind").value}"] [name="${field}"]`);
  return named ? [named] : [];
}

function describedBy(control, id, on) {
  const ids = (control.getAttribute("aria-describedby") || "").split(" ")
    .filter((t) => t && t !== id);
  if (on) ids.push(id);
  if (ids.length) control.setAttribute("aria-describedby", ids.join(" "));
  else control.removeAttribute("aria-describedby");
}

function markInvalid(controls) {
  for (const control of $$("[aria-invalid=true]")) {
    if (control.id === "logo-file") continue;  // the logo's note keeps its own
    control.removeAttribute("aria-invalid");
    describedBy(control, "verdict", false);
  }
  for (const control of controls) {
    control.setAttribute("aria-invalid", "true");
    describedBy(control, "verdict", true);
  }
}

// The verdict is the one live region: a new text is announced once.
function setVerdict(text, state, badge) {
  const verdict = $("#verdict");
  const content = badge ? [badge, " ", text] : [text];
  if (verdict.textContent !== content.map((c) => c.textContent ?? c).join("")) {
    verdict.replaceChildren(...content);
  }
  verdict.className = state;
  verdict.dataset.reads = String(state === "ok");
}

function badHexField() {
  return $$(".paint .hex").find((hex) => hex.offsetParent !== null && !HEX.test(hex.value));
}

// ---- Showing an answer -------------------------------------------------------------------

function setDownload(id, href, name) {
  const link = $(id);
  if (href) link.href = href; else link.removeAttribute("href");
  if (name) link.download = name;
  link.setAttribute("aria-disabled", href ? "false" : "true");
}

function showError(text, fields) {
  setVerdict(text, "bad");
  markInvalid(fields.flatMap(controlsOf));
  showGradeParameters(null);
  showPrint(null);
  $("#facts").textContent = "";
  setDownload("#download-png", null);
  setDownload("#download-svg", null);
  showRecipes(null);
  document.body.dataset.state = "error";
}

// The grade's letter beside the verdict, which names it in words.
function gradeBadge(grade) {
  const badge = document.createElement("span");
  badge.className = "badge";
  badge.dataset.grade = grade.grade;
  badge.setAttribute("aria-hidden", "true");
  badge.textContent = grade.grade;
  return badge;
}

// The weakest parameters of a grade (up to three below A) with what to change.
function showGradeParameters(grade) {
  const weak = grade ? grade.parameters.filter((p) => p.grade !== "A").slice(0, 3) : [];
  $("#grade-parameters").replaceChildren(...weak.map((p) => {
    const item = document.createElement("li");
    const value = typeof p.value === "number" ? Number(p.value.toFixed(2)) : p.value;
    item.textContent = `${p.name} ${value}, grade ${p.grade}: ${p.hint}`;
    return item;
  }));
  $("#grade-parameters").hidden = weak.length === 0;
}

function showRecipe(which) {
  recipeShown = which;
  $("#recipe").textContent = recipes ? recipes[which] : "";
  for (const button of $$(".copy button")) {
    button.setAttribute("aria-pressed", String(button.dataset.recipe === which));
    button.disabled = !recipes;
  }
}

// The commands of the latest drawing, or none while the page shows an error.
function showRecipes(value) {
  recipes = value;
  showRecipe(recipeShown);
}

function showLevel(used) {
  const level = $("#level");
  if (logo) {
    hold(level, used);
    $("#level-note").textContent = `Level ${used}: a logo covers modules, so the code uses the ` +
      "highest error correction.";
  } else if (level.disabled) {
    release(level);
    $("#level-note").textContent = "Higher levels survive more damage and make a larger code.";
  }
}

// What the print size chose, and why the printed code may be too small to
// scan; the print fields and a module size they set are described by it.
function showPrint(print, moduleSize) {
  const size = $("#module-size");
  if (print && print.sized) hold(size, String(moduleSize)); else release(size);
  describedBy(size, "print-note", Boolean(print && print.sized));
  const warnings = print ? print.warnings : [];
  $("#print-note").replaceChildren(print ? print.summary : printNote, ...warnings.map((w) => {
    const warning = document.createElement("strong");
    warning.textContent = ` Warning: ${w}.`;
    return warning;
  }));
  $("#print-note").dataset.state = warnings.length ? "warn" : "";
}

function showResult(answer) {
  const png = `data:image/png;base64,${answer.png}`;
  if (svgUrl) URL.revokeObjectURL(svgUrl);
  svgUrl = URL.createObjectURL(new Blob([answer.svg], { type: "image/svg+xml" }));
  $("#png-preview").src = png;
  $("#svg-preview").src = svgUrl;
  // An SVG sized for print would show at its printed size: both previews
  // show the pixels.
  $("#svg-preview").width = answer.width;
  setDownload("#download-png", png, `${answer.name}.png`);
  setDownload("#download-svg", svgUrl, `${answer.name}.svg`);
  markInvalid([]);
  const tooSmall = answer.print && answer.print.warnings.length;
  setVerdict(answer.verdict, answer.reads && !tooSmall ? "ok" : "warn",
    answer.grade ? gradeBadge(answer.grade) : null);
  showGradeParameters(answer.grade);
  showLevel(answer.level);
  showPrint(answer.print, answer.module_size);
  $("#facts").textContent = `Version ${answer.version}, level ${answer.level}, ` +
    `${answer.width} × ${answer.width} px. Encoded text: ${answer.text}`;
  showRecipes(answer.recipes);
  document.body.dataset.state = "ok";
}

async function render(resent = false) {
  const mine = ++latest;
  // Once per rendering, not per keystroke: browsers limit how often a page
  // may rewrite its address.
  saveToAddress();
  document.body.dataset.state = "busy";
  const hex = badHexField();
  const answer = hex ? { error: `${hex.getAttribute("aria-label").replace(" as #rrggbb", "")}: ` +
      "expected # and six hex digits, like #1a2b3c", fields: [], control: hex }
    : await post("/api/render", JSON.stringify(request()), "application/json");
  if (mine !== latest) return;
  if (answer.error && !resent && (answer.fields || []).includes("logo") && await resendLogo()) {
    if (mine === latest) render(true);
    return;
  }
  if (answer.error) {
    showError(answer.error, answer.fields || []);
    if (answer.control) markInvalid([answer.control]);
  } else {
    showResult(answer);
  }
  countAnswer();
}

// The page counts the answers it has shown, so that a test can wait for one.
function countAnswer() {
  document.body.dataset.renders = String(Number(document.body.dataset.renders) + 1);
}

function schedule(event) {
  const target = event && event.target;
  if (target === $("#logo-file")) return;  // uploadLogo handles it
  if (target && target.type === "color") target.dataset.touched = "1";
  if (target && target.classList.contains("mode")) {
    startFromPreset(target.closest(".paint"), target.closest(".paint").id.slice(6));
  }
  syncVisibility();
  // Answers to requests made before this change are stale from now on.
  latest++;
  document.body.dataset.state = "busy";
  clearTimeout(timer);
  timer = setTimeout(render, DEBOUNCE_MS);
}

// ---- The design in the address --------------------------------------------------------------

function keyed() {
  return $$("#design [data-key]");
}

// Only what differs from the page's first state, so that links stay short.
function saveToAddress() {
  const state = new URLSearchParams();
  for (const control of keyed()) {
    if (chosen(control) !== defaults[control.dataset.key]) {
      state.set(control.dataset.key, chosen(control));
    }
  }
  const named = logo ? logo : missingLogo;
  if (named) {
    state.set("logo", named.name);
    state.set("logo.key", named.key);
  }
  writtenHash = `#${state}`;
  history.replaceState(null, "", state.toString() ? writtenHash : location.pathname);
}

async function loadFromAddress() {
  const state = new URLSearchParams(location.hash.slice(1));
  for (const control of keyed()) {
    const value = state.has(control.dataset.key) ? state.get(control.dataset.key)
      : defaults[control.dataset.key];
    control.value = value;
    if (control.type === "color") {
      control.closest("label").nextElementSibling.value = value;
      control.dataset.touched = state.has(control.dataset.key) ? "1" : "";
    }
  }
  for (const control of HELD.map((id) => $(id))) {
    delete control.dataset.chosen;
    control.disabled = false;
  }
  logo = null;
  missingLogo = null;
  if (state.has("logo")) await restoreLogo(state.get("logo"), state.get("logo.key") || "");
  else setLogo(null, "No logo.");
  syncVisibility();
}

// ---- Logos ---------------------------------------------------------------------------------

function setLogo(value, note) {
  logo = value;
  $("#logo-state").textContent = note;
  $("#logo-state").dataset.state = value ? "set" : "none";
  $("#logo-remove").disabled = !value;
  $("#logo-file").removeAttribute("aria-invalid");
}

function refuseLogo(name, why) {
  const kept = logo ? `The logo stays ${logo.name}.` : "No logo.";
  $("#logo-state").textContent = `${name} refused: ${why}. ${kept}`;
  $("#logo-state").dataset.state = "refused";
  $("#logo-file").setAttribute("aria-invalid", "true");
  $("#logo-file").value = "";
  setVerdict(`Logo refused: ${why}.`, "warn");
}

// A short name for the logo's bytes (FNV-1a), to find it again in storage.
function logoKey(bytes) {
  let hash = 0x811c9dc5;
  for (const byte of bytes) hash = Math.imul(hash ^ byte, 0x01000193) >>> 0;
  return `${hash.toString(16).padStart(8, "0")}-${bytes.length}`;
}

function storeLogo(key, bytes) {
  try {
    let binary = "";
    for (let i = 0; i < bytes.length; i += 0x8000) {
      binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    }
    const kept = JSON.parse(localStorage.getItem("vqr-logos") || "[]").filter((k) => k !== key);
    kept.push(key);
    while (kept.length > LOGOS_KEPT) localStorage.removeItem(LOGO_STORE + kept.shift());
    localStorage.setItem(LOGO_STORE + key, btoa(binary));
    localStorage.setItem("vqr-logos", JSON.stringify(kept));
  } catch (e) {
    // Storage full or off: the logo works until the page is closed.
  }
}

function storedLogo(key) {
  try {
    const data = localStorage.getItem(LOGO_STORE + key);
    return data ? Uint8Array.from(atob(data), (c) => c.charCodeAt(0)) : null;
  } catch (e) {
    return null;
  }
}

// Sends a logo's bytes to the server; the answer, or {error}.
function sendLogo(bytes) {
  return post("/api/logo", bytes, "application/octet-stream");
}

function useLogo(answer, name, key) {
  setLogo({ ...answer, name, key },
    `${name}, ${answer.width} × ${answer.height} px (level H while a logo is set).`);
}

// A restarted server has lost the logo: this browser sends it again.
async function resendLogo() {
  const bytes = logo && storedLogo(logo.key);
  const answer = bytes ? await sendLogo(bytes) : { error: "not stored" };
  if (answer.error) return false;
  useLogo(answer, logo.name, logo.key);
  return true;
}

async function restoreLogo(name, key) {
  const bytes = storedLogo(key);
  const answer = bytes ? await sendLogo(bytes) : { error: "missing" };
  if (!answer.error) {
    useLogo(answer, name, key);
    return;
  }
  missingLogo = { name, key };
  setLogo(null, `This design uses the logo ${name}, which this browser does not have: ` +
    "choose the file again to add it.");
  $("#logo-state").dataset.state = "missing";
}

async function uploadLogo() {
  const file = $("#logo-file").files[0];
  if (!file) return;
  const mine = ++latest;
  document.body.dataset.state = "busy";
  // A file over the limit is refused before it is read.
  const bytes = file.size > options.max_logo_bytes ? null
    : new Uint8Array(await file.arrayBuffer());
  const answer = bytes ? await sendLogo(bytes)
    : { error: `the logo is too large: at most ${options.max_logo_bytes / 1024} KB` };
  if (mine !== latest) return;
  if (answer.error) {
    refuseLogo(file.name, answer.error);
    document.body.dataset.state = logo || $("#png-preview").src ? "ok" : "error";
    countAnswer();
    return;
  }
  const key = logoKey(bytes);
  storeLogo(key, bytes);
  missingLogo = null;
  useLogo(answer, file.name, key);
  render();
}

// ---- Start ---------------------------------------------------------------------------------

async function copyRecipe(which) {
  showRecipe(which);
  if (!recipes) return;
  try {
    await navigator.clipboard.writeText(recipes[which]);
    $("#copy-state").textContent = "Copied to the clipboard.";
  } catch (e) {
    getSelection().selectAllChildren($("#recipe"));
    $("#copy-state").textContent = "Selected: copy it with Ctrl+C.";
  }
}

async function start() {
  buildPaints();
  keyContentFields();
  const response = await fetch("/api/options").catch(() => null);
  if (!response || !response.ok) {
    showError("the designer server does not answer: is it still running?", []);
    return;
  }
  options = await response.json();
  fillSelect($("#preset"), named(options.presets, "none (plain)"));
  fillSelect($("#module-style"), named(options.module_styles, "default"));
  fillSelect($("#ring-style"), named(options.ring_styles, "default"));
  fillSelect($("#center-style"), named(options.center_styles, "default"));
  fillSelect($("#level"), options.levels.map((l) => [l, l]));
  $("#level").value = "M";
  $("#module-size").max = options.max_module_size;
  $("#quiet-zone").max = options.max_quiet_zone;
  defaults = Object.fromEntries(keyed().map((c) => [c.dataset.key, c.value]));
  printNote = $("#print-note").textContent;
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
  for (const button of $$(".copy button")) {
    button.addEventListener("click", () => copyRecipe(button.dataset.recipe));
  }
  // A link pasted into this tab's address bar loads that design.
  addEventListener("hashchange", async () => {
    if (location.hash === writtenHash) return;
    await loadFromAddress();
    render();
  });
  await loadFromAddress();
  render();
}

start();

'use strict';
// The supervision page: the session, the live state over a WebSocket, the commands, the overs.
const texts = {
  ru: { logout: 'Выйти', login: 'Вход', name: 'Имя', password: 'Пароль', enter: 'Войти',
    station: 'Станция', level: 'Уровень', squelch: 'Шумоподавитель', control: 'Управление',
    txOff: 'Выключить передатчик', txOn: 'Включить передатчик', identify: 'Позывной сейчас',
    reportOn: 'Отчёт вкл.', reportOff: 'Отчёт выкл.', activity: 'Активность', overs: 'Передачи',
    time: 'Время', length: 'Длина, с', rms: 'Уровень, дБ', quieting: 'Подавление шума, дБ',
    report: 'Отчёт', download: 'Скачать', remove: 'Удалить', txIsOn: 'передатчик включён',
    txIsOff: 'передатчик выключен', uptime: 'Работает', sinceId: 'С последнего позывного',
    archive: 'Архив', disk: 'Свободно на диске', oversCount: 'Передач', sent: 'Время передачи',
    kerchunks: 'Короткие', lockouts: 'Блокировки', watchdog: 'Срабатывания сторожа',
    failure: 'Последний сбой', perHour: 'Передач за час (24 ч)', perDay: 'Передач за день (30 дней)',
    sentPerDay: 'Время передачи за день, с', eventsPerDay: 'События за день (30 дней)', confirm: 'Выполнить: ', done: 'Выполнено', refused: 'Не выполнено', notSent: 'Не отправлено',
    lost: 'Потеряно звука', repeater: 'Ретранслятор', running: 'работает', stopped: 'остановлен', wrong: 'Неверное имя или пароль', locked: 'Слишком много попыток; подождите минуту' },
  en: { logout: 'Log out', login: 'Log in', name: 'Name', password: 'Password', enter: 'Log in',
    station: 'Station', level: 'Level', squelch: 'Squelch', control: 'Control',
    txOff: 'Transmitter off', txOn: 'Transmitter on', identify: 'Identify now',
    reportOn: 'Report on', reportOff: 'Report off', activity: 'Activity', overs: 'Overs',
    time: 'Time', length: 'Length, s', rms: 'Level, dB', quieting: 'Quieting, dB',
    report: 'Report', download: 'Download', remove: 'Delete', txIsOn: 'transmitter on',
    txIsOff: 'transmitter off', uptime: 'Up', sinceId: 'Since identification',
    archive: 'Archive', disk: 'Disk free', oversCount: 'Overs', sent: 'Transmit time',
    kerchunks: 'Kerchunks', lockouts: 'Lockouts', watchdog: 'Watchdog trips',
    failure: 'Last failure', perHour: 'Overs per hour (24 h)', perDay: 'Overs per day (30 days)',
    sentPerDay: 'Transmit seconds per day', eventsPerDay: 'Events per day (30 days)', confirm: 'Carry out: ', done: 'Done', refused: 'Not done', notSent: 'Not sent',
    lost: 'Audio lost', repeater: 'Repeater', running: 'running', stopped: 'stopped', wrong: 'Wrong name or password', locked: 'Too many attempts; wait a minute' },
};
const stateWords = { 'НЕАКТИВНО': 'INACTIVE', 'ОЖИДАНИЕ': 'WAITING', 'ЗАПИСЬ': 'RECORDING',
  'ВОСПРОИЗВЕДЕНИЕ': 'PLAYBACK', 'ЗАБЛОКИРОВАН': 'BLOCKED' };
let lang = localStorage.getItem('lang') || (navigator.language || 'ru').slice(0, 2);
if (!texts[lang]) lang = 'en';
let session = {}, live = {}, socket = null, overs = [], activity = null;
const charts = {};
const $ = (id) => document.getElementById(id);
const t = (key) => texts[lang][key] || key;
// An element with its properties and children: el('a', { href: x, textContent: 'y' }, child...).
const el = (tag, props, ...children) => {
  const e = Object.assign(document.createElement(tag), props || {});
  e.append(...children);
  return e;
};
const getJson = async (path) => {
  const r = await fetch(path, { credentials: 'same-origin' });
  return r.ok ? r.json() : null;
};
const post = (path, body) => fetch(path, { method: 'POST', credentials: 'same-origin',
  headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'X-CSRF-Token': session.csrf || '' },
  body: new URLSearchParams(body || {}) });
const confirmed = (what) => confirm(t('confirm') + what);

function seconds(s) {
  if (s < 0) return '—';
  const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  return h ? `${h} h ${m} min` : m ? `${m} min ${Math.floor(s % 60)} s` : `${Math.floor(s)} s`;
}
const bytes = (b) => b >= 1e9 ? (b / 1e9).toFixed(1) + ' GB' : b >= 1e6 ? (b / 1e6).toFixed(1) + ' MB'
  : (b / 1e3).toFixed(1) + ' KB';
// The archive's "2026-12-09T13-15-17" as "2026-12-09 13:15:17".
const when = (start) => start.replace(/T(\d\d)-(\d\d)-(\d\d)$/, ' $1:$2:$3');

function translate() {
  document.documentElement.lang = lang;
  $('lang').textContent = lang === 'ru' ? 'EN' : 'RU';
  document.querySelectorAll('[data-t]').forEach((e) => { e.textContent = t(e.dataset.t); });
  showLive();
  showOvers();
  showActivity();
}

function showLive() {
  if (!live.state) return;
  $('state').textContent = lang === 'ru' ? live.state : (stateWords[live.state] || live.state);
  $('tx').textContent = live.transmitter ? t('txIsOn') : t('txIsOff');
  $('tx').className = 'badge' + (live.transmitter ? '' : ' off');
  $('level0').value = live.levels[0];
  $('level1').value = live.levels[1];
  $('squelch').textContent = `${live.squelchFigure.toPrecision(3)} / ${live.squelchLevel}`;
  const facts = [['repeater', t(live.running ? 'running' : 'stopped')], ['uptime', seconds(live.uptime)],
    ['sinceId', seconds(live.secondsSinceId)], ['oversCount', live.overs],
    ['sent', seconds(live.transmitSeconds)], ['notSent', live.notSent],
    ['kerchunks', live.kerchunks], ['lockouts', live.lockouts], ['watchdog', live.watchdogTrips],
    ['archive', bytes(live.archiveBytes)], ['disk', bytes(live.diskFreeBytes)]];
  if (live.lostAudioBytes) facts.push(['lost', bytes(live.lostAudioBytes)]);
  if (live.lastFailure) facts.push(['failure', live.lastFailure]);
  $('facts').replaceChildren(...facts.flatMap(([k, v]) =>
    [el('dt', { textContent: t(k) }), el('dd', { textContent: v })]));
}

function connect() {
  if (socket) return;
  socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/live');
  socket.onmessage = (m) => { live = JSON.parse(m.data); showLive(); };
  socket.onclose = () => { socket = null; setTimeout(start, 3000); };
}

async function loadOvers() {
  const list = await getJson('/api/overs');
  if (list) { overs = list.overs; showOvers(); }
}

function showOvers() {
  const cell = (key, text) => {
    const td = el('td', { textContent: text });
    td.dataset.label = t(key);
    return td;
  };
  $('overs').tBodies[0].replaceChildren(...overs.map((o) => {
    const src = '/overs/' + encodeURIComponent(o.file);
    const actions = el('td', { className: 'actions' },
      el('audio', { controls: true, preload: 'none', src }), ' ',
      el('a', { href: src + '?download=1', download: o.file, textContent: t('download') }));
    if (session.role === 'control') {
      actions.append(' ', el('button', { textContent: t('remove'), onclick: async () => {
        if (confirmed(t('remove') + ' ' + o.file)) { await post('/api/overs/delete', { name: o.file }); loadOvers(); }
      } }));
    }
    return el('tr', {}, cell('time', when(o.start)), cell('length', o.length.toFixed(1)),
      cell('rms', o.rms), cell('quieting', o.quieting),
      cell('report', o.report === 'not sent' ? t('notSent') : o.report), actions);
  }));
}

async function loadActivity() {
  activity = await getJson('/api/activity');
  showActivity();
}

function showActivity() {
  if (!activity || typeof Chart === 'undefined') return;
  const a = activity;
  const ago = (n) => Array.from({ length: n }, (_, i) => i - n + 1);
  const draw = (id, labels, sets) => {
    if (charts[id]) charts[id].destroy();
    charts[id] = new Chart($(id), { type: 'bar',
      data: { labels, datasets: sets.map(([key, data, backgroundColor]) => ({ label: t(key), data, backgroundColor })) },
      options: { animation: false, responsive: true, plugins: { legend: { position: 'bottom' } },
        scales: { y: { beginAtZero: true, ticks: { precision: 0 } } } } });
  };
  draw('hours', ago(24), [['perHour', a.hours, '#468']]);
  draw('days', ago(30), [['perDay', a.days, '#468'], ['sentPerDay', a.sentSeconds, '#c84']]);
  draw('events', ago(30), [['kerchunks', a.kerchunks, '#888'], ['lockouts', a.lockouts, '#c33'],
    ['watchdog', a.watchdogTrips, '#a5c'], ['notSent', a.notSent, '#c84']]);
}

async function start() {
  session = await getJson('/api/session') || {};
  const seesStatus = session.role || session.guest !== 'none';
  const seesOvers = session.role || session.guest === 'overs';
  $('login').hidden = !!session.role;
  $('logout').hidden = !session.role;
  $('who').textContent = session.role ? `${session.name} (${session.role})` : '';
  $('live').hidden = !seesStatus;
  $('control').hidden = session.role !== 'control';
  $('activity').hidden = $('oversSection').hidden = !seesOvers;
  if (seesStatus) connect();
  if (seesOvers) { loadOvers(); loadActivity(); }
}

$('login').onsubmit = async (e) => {
  e.preventDefault();
  const r = await post('/login', Object.fromEntries(new FormData(e.target)));
  $('loginError').textContent = r.ok ? '' : r.status === 429 ? t('locked') : t('wrong');
  if (r.ok) { if (socket) socket.close(); start(); }
};
$('logout').onclick = async () => { await post('/logout'); location.reload(); };
$('lang').onclick = () => { lang = lang === 'ru' ? 'en' : 'ru'; localStorage.setItem('lang', lang); translate(); };
document.querySelectorAll('[data-command]').forEach((b) => {
  b.onclick = async () => {
    if (!confirmed(b.textContent)) return;
    const r = await post('/api/command', { command: b.dataset.command });
    const j = await r.json();
    // The server's own words say why a command was refused; a done one is named in the page's language.
    $('commandResult').textContent = r.ok ? t('done') + ': ' + b.textContent
      : t('refused') + ': ' + (j.text || j.error || '');
    $('commandResult').className = r.ok ? '' : 'error';
  };
});
translate();
start();
setInterval(() => { if (!$('oversSection').hidden) { loadOvers(); loadActivity(); } }, 30000);

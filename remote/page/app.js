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
    sentPerDay: 'Время передачи за день, с', confirm: 'Выполнить: ', notSent: 'Не отправлено',
    wrong: 'Неверное имя или пароль', locked: 'Слишком много попыток; подождите минуту' },
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
    sentPerDay: 'Transmit seconds per day', confirm: 'Carry out: ', notSent: 'Not sent',
    wrong: 'Wrong name or password', locked: 'Too many attempts; wait a minute' },
};
const stateWords = { 'НЕАКТИВНО': 'INACTIVE', 'ОЖИДАНИЕ': 'WAITING', 'ЗАПИСЬ': 'RECORDING',
  'ВОСПРОИЗВЕДЕНИЕ': 'PLAYBACK', 'ЗАБЛОКИРОВАН': 'BLOCKED' };
let lang = localStorage.getItem('lang') || (navigator.language || 'ru').slice(0, 2);
if (!texts[lang]) lang = 'en';
let session = {}, live = {}, socket = null, charts = {};
const $ = (id) => document.getElementById(id);
const t = (key) => texts[lang][key] || key;

function translate() {
  document.documentElement.lang = lang;
  $('lang').textContent = lang === 'ru' ? 'EN' : 'RU';
  document.querySelectorAll('[data-t]').forEach((e) => { e.textContent = t(e.dataset.t); });
  showLive();
}

function post(path, body) {
  return fetch(path, { method: 'POST', credentials: 'same-origin',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded', 'X-CSRF-Token': session.csrf || '' },
    body: new URLSearchParams(body || {}) });
}

function seconds(s) {
  if (s < 0) return '—';
  const h = Math.floor(s / 3600), m = Math.floor(s / 60) % 60;
  return h ? `${h} h ${m} min` : m ? `${m} min ${Math.floor(s % 60)} s` : `${Math.floor(s)} s`;
}
const bytes = (b) => b > 1e9 ? (b / 1e9).toFixed(1) + ' GB' : (b / 1e6).toFixed(1) + ' MB';

function showLive() {
  if (!live.state) return;
  $('state').textContent = lang === 'ru' ? live.state : (stateWords[live.state] || live.state);
  $('tx').textContent = live.transmitter ? t('txIsOn') : t('txIsOff');
  $('tx').className = 'badge' + (live.transmitter ? '' : ' off');
  $('level0').value = live.levels[0];
  $('level1').value = live.levels[1];
  $('squelch').textContent = `${live.squelchFigure.toPrecision(3)} / ${live.squelchLevel}`;
  const facts = [[t('uptime'), seconds(live.uptime)], [t('sinceId'), seconds(live.secondsSinceId)],
    [t('oversCount'), live.overs], [t('sent'), seconds(live.transmitSeconds)],
    [t('notSent'), live.notSent], [t('kerchunks'), live.kerchunks], [t('lockouts'), live.lockouts],
    [t('watchdog'), live.watchdogTrips], [t('archive'), bytes(live.archiveBytes)],
    [t('disk'), bytes(live.diskFreeBytes)]];
  if (live.lastFailure) facts.push([t('failure'), live.lastFailure]);
  const dl = $('facts');
  dl.replaceChildren();
  for (const [k, v] of facts) {
    const dt = document.createElement('dt'); dt.textContent = k;
    const dd = document.createElement('dd'); dd.textContent = v;
    dl.append(dt, dd);
  }
}

function connect() {
  if (socket) return;
  socket = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/live');
  socket.onmessage = (m) => { live = JSON.parse(m.data); showLive(); };
  socket.onclose = () => { socket = null; setTimeout(start, 3000); };
}

async function loadOvers() {
  const r = await fetch('/api/overs', { credentials: 'same-origin' });
  if (!r.ok) return;
  const body = $('overs').tBodies[0];
  body.replaceChildren();
  for (const o of (await r.json()).overs) {
    const row = body.insertRow();
    for (const v of [o.start.replace('T', ' '), o.length.toFixed(1), o.rms, o.quieting,
      o.report === 'not sent' ? t('notSent') : o.report]) row.insertCell().textContent = v;
    const cell = row.insertCell();
    const audio = document.createElement('audio');
    audio.controls = true; audio.preload = 'none'; audio.src = '/overs/' + encodeURIComponent(o.file);
    const link = document.createElement('a');
    link.href = audio.src + '?download=1'; link.textContent = t('download'); link.download = o.file;
    cell.append(audio, ' ', link);
    if (session.role === 'control') {
      const del = document.createElement('button');
      del.textContent = t('remove');
      del.onclick = async () => {
        if (confirm(t('confirm') + t('remove') + ' ' + o.file)) {
          await post('/api/overs/delete', { name: o.file }); loadOvers();
        }
      };
      cell.append(' ', del);
    }
  }
}

async function loadActivity() {
  const r = await fetch('/api/activity', { credentials: 'same-origin' });
  if (!r.ok || typeof Chart === 'undefined') return;
  const a = await r.json();
  const draw = (id, labels, sets) => {
    if (charts[id]) charts[id].destroy();
    charts[id] = new Chart($(id), { type: 'bar', data: { labels, datasets: sets },
      options: { animation: false, responsive: true, plugins: { legend: { position: 'bottom' } } } });
  };
  draw('hours', a.hours.map((_, i) => i - 23), [{ label: t('perHour'), data: a.hours, backgroundColor: '#468' }]);
  draw('days', a.days.map((_, i) => i - 29), [{ label: t('perDay'), data: a.days, backgroundColor: '#468' },
    { label: t('sentPerDay'), data: a.sentSeconds, backgroundColor: '#c84', yAxisID: 'y' }]);
}

async function start() {
  session = await (await fetch('/api/session', { credentials: 'same-origin' })).json();
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
$('lang').onclick = () => { lang = lang === 'ru' ? 'en' : 'ru'; localStorage.setItem('lang', lang); translate(); loadActivity(); };
document.querySelectorAll('[data-command]').forEach((b) => {
  b.onclick = async () => {
    if (!confirm(t('confirm') + b.textContent)) return;
    const r = await post('/api/command', { command: b.dataset.command });
    const j = await r.json();
    $('commandResult').textContent = j.text || j.error || '';
    $('commandResult').className = r.ok ? '' : 'error';
  };
});
translate();
start();
setInterval(() => { if (!$('oversSection').hidden) loadOvers(); }, 30000);

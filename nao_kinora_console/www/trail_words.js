// The audit trail in words: each entry's action with its detail, as the
// admin's page and the report show it ("renamed plan week 1 → week 2",
// "exported P-0101 (JSON)", "speed 0.75× (was 1×)"). An entry's detail is a
// JSON object since the trail kept them so; an older entry's plain text is
// shown as it is.
'use strict';

(function () {
  function detailOf(entry) {
    var text = entry.detail || '';
    if (text.charAt(0) !== '{') return null;
    try {
      var d = JSON.parse(text);
      return d && typeof d === 'object' ? d : null;
    } catch (e) {
      return null;
    }
  }

  var T = window.T;
  function speed(value) { return Number(value) + '×'; }

  // The patient as the trail reads them now: a deleted one's code is not kept.
  function patient(entry) {
    return entry.patient || (entry.patientId ? T('a patient since deleted') : T('a patient'));
  }

  function plan(d) { return d.plan ? T('plan {name}', { name: d.plan }) : T('a plan'); }

  function planChange(d) {
    var said = [];
    if (d.from !== undefined && d.from !== d.to) said.push(T('renamed plan {from} → {to}', { from: d.from, to: d.to }));
    var name = T('plan {name}', { name: d.to || d.plan || '' });
    if (d.speedWas !== undefined && d.speedWas !== d.speed) {
      said.push(T('{plan}: speed {speed} (was {was})', { plan: name, speed: speed(d.speed), was: speed(d.speedWas) }));
    }
    if (d.exercisesWas !== undefined && JSON.stringify(d.exercisesWas) !== JSON.stringify(d.exercises)) {
      said.push(T('{plan}: exercises {list}', { plan: name, list: (d.exercises || []).join(', ') }));
    }
    return said.length ? said.join('; ') : T('saved {plan} unchanged', { plan: name });
  }

  var LANGUAGES = { en: 'English', tr: 'Türkçe' };

  var WORDS = {
    login: function () { return T('logged in'); },
    logout: function () { return T('logged out'); },
    'login failed': function (e, d) { return T('failed to log in as {name}', { name: d.name }); },
    'login locked': function (e, d) {
      return d.address ? T('locked the name {name} after {failures} failed logins (from {address})', d)
                       : T('locked the name {name} after {failures} failed logins', d);
    },
    'patient added': function (e) { return T('added patient {patient}', { patient: patient(e) }); },
    'patient note changed': function (e) { return T('changed the note of {patient}', { patient: patient(e) }); },
    'patient deleted': function () { return T('deleted a patient (code not kept)'); },
    'plan saved': function (e, d) { return T('saved {plan} for {patient}', { plan: plan(d), patient: patient(e) }); },
    'plan changed': function (e, d) { return planChange(d); },
    'plan deleted': function (e, d) { return T('deleted {plan} of {patient}', { plan: plan(d), patient: patient(e) }); },
    start: function (e, d) { return T('started {plan} for {patient}', { plan: plan(d), patient: patient(e) }); },
    resume: function (e, d) {
      var values = { resume: window.Kinora.resumeWords(d.at), patient: patient(e), session: d.takesUp };
      return d.takesUp ? T('{resume} for {patient}, taking up session {session}', values) : T('{resume} for {patient}', values);
    },
    pause: function () { return T('paused the session'); },
    'continue': function () { return T('continued the session after the pause'); },
    skip: function () { return T('skipped the exercise'); },
    end: function () { return T('ended the session'); },
    speed: function (e, d) {
      return d.was !== undefined && d.was !== null ? T('speed {speed} (was {was})', { speed: speed(d.speed), was: speed(d.was) })
                                                   : T('speed {speed}', { speed: speed(d.speed) });
    },
    'check-in': function (e, d) { return T('check-in after exercise {n}', { n: d.exercise }); },
    export: function (e, d) { return T('exported {patient} ({format})', { patient: patient(e), format: d.format }); },
    'account added': function (e, d) { return T('added the account {name} ({role})', { name: d.name, role: T(d.role) }); },
    'account disabled': function (e, d) { return T('disabled the account {name}', d); },
    'account enabled': function (e, d) { return T('enabled the account {name}', d); },
    'token made': function (e, d) {
      return d.label ? T('made a personal token “{label}”', d) : T('made a personal token');
    },
    'token revoked': function (e, d) {
      return d.label ? T('revoked personal token “{label}”', d) : T('revoked personal token {id}', d);
    },
    'password changed': function () { return T('changed their password'); },
    'language changed': function (e, d) {
      return d.language ? T('chose {language} for the pages', { language: LANGUAGES[d.language] || d.language })
                        : T('chose the browser\'s language for the pages');
    },
    'introduction changed': function (e, d) { return T('gave {exercise} the introduction “{to}”', d); },
    'account unlocked': function (e, d) { return T('unlocked the account {name}', d); },
    'password reset': function (e, d) { return T('gave {name} a new password', d); },
    'address locked': function (e, d) { return T('locked the address {address} after {failures} failed logins', d); },
    'lock ended': function (e, d) {
      var why = { expired: T('its time was up'), unlocked: T('unlocked by an admin'),
                  disabled: T('the account was disabled'), enabled: T('the account was enabled'),
                  'password reset': T('a new password was given') }[d.why] || d.why;
      var values = { name: d.name, address: d.address, why: why, tries: d.tries };
      if (d.name) {
        return d.tries === 1 ? T('the lock on {name} (from {address}) ended: {why}, after 1 more try', values)
                             : T('the lock on {name} (from {address}) ended: {why}, after {tries} more tries', values);
      }
      return d.tries === 1 ? T('the lock on the address {address} ended: {why}, after 1 more try', values)
                           : T('the lock on the address {address} ended: {why}, after {tries} more tries', values);
    },
    'roles set up': function () { return T('set up the database roles'); },
    release: function () { return T('released the session: its coaching program was stopped'); }
  };

  // An entry in words; an older one (plain detail) as it was kept.
  function words(entry) {
    var d = detailOf(entry);
    // A control the coaching program answered after its deadline: what was
    // asked, how late, and whether it was carried out.
    if (d && d.late !== undefined) {
      var asked = entry.action.replace(/ not carried out$/, '');
      var said = words({ action: asked, detail: d.was || '', patient: entry.patient, patientId: entry.patientId });
      if (asked === entry.action) return T('{said} — confirmed {late} s late', { said: said, late: d.late });
      return T('{said} — confirmed {late} s late, not carried out: {answer}',
               { said: said, late: d.late, answer: d.answer || '' });
    }
    if (d && WORDS[entry.action]) return WORDS[entry.action](entry, d);
    if (!entry.detail && WORDS[entry.action] && WORDS[entry.action].length < 2) return WORDS[entry.action](entry, {});
    return T(entry.action) + (entry.detail ? ' — ' + entry.detail : '');
  }

  // The same as an element: an older entry's detail, kept as written, marked as data.
  function element(entry) {
    var span = document.createElement('span');
    var said = words(entry), kept = ' — ' + entry.detail;
    if (entry.detail && !detailOf(entry) && said.slice(-kept.length) === kept) {
      var detail = document.createElement('span');
      detail.setAttribute('data-data', '');
      detail.textContent = entry.detail;
      span.append(said.slice(0, -kept.length) + ' — ', detail);
    } else {
      span.textContent = said;
    }
    return span;
  }

  window.KinoraTrail = { words: words, element: element };
})();

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

  function speed(value) { return Number(value) + '×'; }

  // The patient as the trail reads them now: a deleted one's code is not kept.
  function patient(entry) {
    return entry.patient || (entry.patientId ? 'a patient since deleted' : 'a patient');
  }

  function plan(d) { return d.plan ? 'plan ' + d.plan : 'a plan'; }

  function planChange(d) {
    var said = [];
    if (d.from !== undefined && d.from !== d.to) said.push('renamed plan ' + d.from + ' → ' + d.to);
    var name = 'plan ' + (d.to || d.plan || '');
    if (d.speedWas !== undefined && d.speedWas !== d.speed) said.push(name + ': speed ' + speed(d.speed) + ' (was ' + speed(d.speedWas) + ')');
    if (d.exercisesWas !== undefined && JSON.stringify(d.exercisesWas) !== JSON.stringify(d.exercises)) {
      said.push(name + ': exercises ' + (d.exercises || []).join(', '));
    }
    return said.length ? said.join('; ') : 'saved ' + name + ' unchanged';
  }

  var WORDS = {
    login: function () { return 'logged in'; },
    logout: function () { return 'logged out'; },
    'login failed': function (e, d) { return 'failed to log in as ' + d.name; },
    'login locked': function (e, d) {
      return 'locked the name ' + d.name + ' after ' + d.failures + ' failed logins' + (d.address ? ' (from ' + d.address + ')' : '');
    },
    'patient added': function (e) { return 'added patient ' + patient(e); },
    'patient note changed': function (e) { return 'changed the note of ' + patient(e); },
    'patient deleted': function () { return 'deleted a patient (code not kept)'; },
    'plan saved': function (e, d) { return 'saved ' + plan(d) + ' for ' + patient(e); },
    'plan changed': function (e, d) { return planChange(d); },
    'plan deleted': function (e, d) { return 'deleted ' + plan(d) + ' of ' + patient(e); },
    start: function (e, d) { return 'started ' + plan(d) + ' for ' + patient(e); },
    resume: function (e, d) {
      return window.Kinora.resumeWords(d.at) + ' for ' + patient(e) + (d.takesUp ? ', taking up session ' + d.takesUp : '');
    },
    pause: function () { return 'paused the session'; },
    'continue': function () { return 'continued the session after the pause'; },
    skip: function () { return 'skipped the exercise'; },
    end: function () { return 'ended the session'; },
    speed: function (e, d) {
      return 'speed ' + speed(d.speed) + (d.was !== undefined && d.was !== null ? ' (was ' + speed(d.was) + ')' : '');
    },
    'check-in': function (e, d) { return 'check-in after exercise ' + d.exercise; },
    export: function (e, d) { return 'exported ' + patient(e) + ' (' + d.format + ')'; },
    'account added': function (e, d) { return 'added the account ' + d.name + ' (' + d.role + ')'; },
    'account disabled': function (e, d) { return 'disabled the account ' + d.name; },
    'account enabled': function (e, d) { return 'enabled the account ' + d.name; },
    'token made': function (e, d) { return 'made a personal token' + (d.label ? ' “' + d.label + '”' : ''); },
    'token revoked': function (e, d) { return 'revoked personal token ' + (d.label ? '“' + d.label + '”' : d.id); },
    'password changed': function () { return 'changed their password'; },
    'introduction changed': function (e, d) { return 'gave ' + d.exercise + ' the introduction “' + d.to + '”'; },
    'account unlocked': function (e, d) { return 'unlocked the account ' + d.name; },
    'password reset': function (e, d) { return 'gave ' + d.name + ' a new password'; },
    'address locked': function (e, d) {
      return 'locked the address ' + d.address + ' after ' + d.failures + ' failed logins';
    },
    'lock ended': function (e, d) {
      var why = { expired: 'its time was up', unlocked: 'unlocked by an admin', disabled: 'the account was disabled',
                  enabled: 'the account was enabled', 'password reset': 'a new password was given' }[d.why] || d.why;
      return (d.name ? 'the lock on ' + d.name + ' (from ' + d.address + ')' : 'the lock on the address ' + d.address) +
        ' ended: ' + why + ', after ' + d.tries + (d.tries === 1 ? ' more try' : ' more tries');
    },
    'roles set up': function () { return 'set up the database roles'; },
    release: function () { return 'released the session: its coaching program was stopped'; }
  };

  // An entry in words; an older one (plain detail) as it was kept.
  function words(entry) {
    var d = detailOf(entry);
    // A control the coaching program answered after its deadline: what was
    // asked, how late, and whether it was carried out.
    if (d && d.late !== undefined) {
      var asked = entry.action.replace(/ not carried out$/, '');
      var said = words({ action: asked, detail: d.was || '', patient: entry.patient, patientId: entry.patientId });
      return said + ' — confirmed ' + d.late + ' s late' +
        (asked !== entry.action ? ', not carried out' + (d.answer ? ': ' + d.answer : '') : '');
    }
    if (d && WORDS[entry.action]) return WORDS[entry.action](entry, d);
    if (!entry.detail && WORDS[entry.action] && WORDS[entry.action].length < 2) return WORDS[entry.action](entry, {});
    return entry.action + (entry.detail ? ' — ' + entry.detail : '');
  }

  window.KinoraTrail = { words: words };
})();

// English: the pages' own words are the keys, so nothing to map.
window.KinoraLang = window.KinoraLang || {};
window.KinoraLang.en = {};

#include "remote_page.h"

#include <cstdint>
#include <cstdio>

namespace {

// The mixer's step for one key, as the control daemon takes it.
constexpr int MIXER_STEP = 4;

// The display mode the mode key chooses next, as the keyboard toggles it.
int next_display_mode(int mode) {
  return mode == 0 ? 2 : 0;
}

// The display sends one byte a character, in Latin-1; the page is UTF-8.
std::string latin1_to_utf8(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | byte >> 6);
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// The length of the well-formed UTF-8 sequence at text[i] (shortest form, no surrogates,
// at most U+10FFFF), 0 when there is none.
size_t utf8_sequence(const std::string &text, size_t i, std::uint32_t *code) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char lead = at(i);
  size_t length;
  std::uint32_t value;
  std::uint32_t least;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  }
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size())
    return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80)
      return 0;
    value = value << 6 | (at(i + k) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *code = value;
  return length;
}

// Text as a value of a query string.
std::string url_encode(const std::string &text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.' || byte == '~') {
      out += c;
    } else if (byte == ' ') {
      out += '+';
    } else {
      out += '%';
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  return out;
}

std::string seconds_text(int seconds) {
  char text[24];
  snprintf(text, sizeof text, "%d:%02d", seconds / 60, seconds % 60);
  return text;
}

// What the page says of the time left: "3:12 left of 4:05", or the panel's own text.
std::string time_text(const RemoteState &s) {
  if (s.seconds_left < 0)
    return latin1_to_utf8(s.panel.time);
  std::string text = seconds_text(s.seconds_left) + " left";
  if (s.seconds_total > 0)
    text += " of " + seconds_text(s.seconds_total);
  return text;
}

// The share of the song played, in percent; -1 when unknown.
int progress_percent(const RemoteState &s) {
  if (s.seconds_left < 0 || s.seconds_total <= 0)
    return -1;
  int left = s.seconds_left > s.seconds_total ? s.seconds_total : s.seconds_left;
  return static_cast<int>(100LL * (s.seconds_total - left) / s.seconds_total);
}

std::string address_text(const SearchEntry &e) {
  return std::to_string(e.device) + " " + std::to_string(e.list) + " " + std::to_string(e.song);
}

const char STYLE[] = R"CSS(
*{box-sizing:border-box}
html{-webkit-text-size-adjust:100%}
body{margin:0;background:#16191e;color:#e6e8eb;font:16px/1.4 system-ui,sans-serif}
main{max-width:980px;margin:0 auto;padding:12px}
header{display:flex;align-items:center;gap:10px;flex-wrap:wrap;margin-bottom:10px}
h1{font-size:1.3em;margin:0;flex:1}
h2{font-size:1em;margin:0 0 8px;color:#9aa3ad;font-weight:600;text-transform:uppercase;letter-spacing:.06em}
a{color:#8cc8ff}
.card{background:#21252c;border-radius:12px;padding:12px;margin-bottom:12px}
.grid{display:grid;gap:12px}
@media(min-width:860px){.grid{grid-template-columns:1fr 1fr}.wide{grid-column:1/3}}
.lcd{background:linear-gradient(160deg,#0a1c2e,#123455 60%,#0b2036);border:3px solid #050a10;
 border-radius:6px;padding:10px 8px;box-shadow:inset 0 0 18px #000a,0 1px 0 #fff1;
 width:max-content;max-width:100%;margin:0 auto 10px;overflow:hidden}
.lcd div{font:clamp(11px,calc((100vw - 70px)/14.6),28px)/1.25 "DejaVu Sans Mono",monospace;
 white-space:pre;color:#d9f1ff;text-shadow:0 0 4px #8fd3ff88;width:24ch}
#title{font-size:1.2em;font-weight:600;margin:4px 0;overflow-wrap:anywhere}
.where{display:grid;grid-template-columns:max-content 1fr;gap:2px 10px;margin:6px 0;color:#c5cbd3}
.where b{color:#9aa3ad;font-weight:500}
.where span{overflow-wrap:anywhere}
.play{display:flex;align-items:center;gap:10px;margin:8px 0}
.badge{background:#343a44;border-radius:6px;padding:2px 8px;font-weight:700;font-size:.85em}
#status{background:#2f6b3a}
.bar{flex:1;height:8px;background:#343a44;border-radius:4px;overflow:hidden}
.bar i{display:block;height:100%;background:#6fb7ff}
.mix{display:grid;grid-template-columns:repeat(4,1fr);gap:6px;text-align:center}
.mix div{background:#2a2f37;border-radius:8px;padding:4px}
.mix b{display:block;font-size:1.2em}
.mix small,.hint{color:#9aa3ad}
.keys{display:grid;grid-template-columns:repeat(4,1fr);gap:6px;margin-bottom:8px}
button,input{font:inherit;color:inherit}
button{background:#343a44;border:0;border-radius:8px;padding:10px 4px;min-height:44px;cursor:pointer}
button:hover{background:#404854}
button:active{background:#4d5664}
button.main{background:#2f6b3a}
.tune{display:grid;grid-template-columns:4.6em 44px 1fr 44px;gap:6px;align-items:center;margin:6px 0}
.tune input{width:100%;accent-color:#6fb7ff}
.tune button:last-child{grid-column:4}
.num{display:flex;gap:6px;flex-wrap:wrap;align-items:center}
.num input{width:6em;background:#16191e;border:1px solid #404854;border-radius:8px;padding:9px}
.pad{display:grid;grid-template-columns:repeat(5,1fr);gap:6px;margin-top:6px}
#numshow{font:1.4em "DejaVu Sans Mono",monospace;min-width:4ch;letter-spacing:.1em}
.search{display:flex;gap:6px}
.search input{flex:1;min-width:0;background:#16191e;border:1px solid #404854;border-radius:8px;padding:10px}
#hits{list-style:none;padding:0;margin:8px 0 0}
#hits li form{margin:0}
#hits button{width:100%;text-align:left;padding:8px 10px;margin:3px 0;background:#2a2f37}
#hits button:hover{background:#343a44}
#hits small{display:block;color:#9aa3ad}
.notice{background:#2d3b52;border-radius:8px;padding:8px 12px;margin-bottom:10px}
#link{font-size:.85em;border-radius:6px;padding:2px 8px;background:#343a44}
#link.up{background:#2f6b3a}
#link.down{background:#8a3a2a}
.away{color:#ffb49a}
[hidden]{display:none!important}
)CSS";

const char SCRIPT[] = R"JS(
(function(){
'use strict';
var $=function(id){return document.getElementById(id);};
var state=JSON.parse($('init').textContent);
var STEP=4;
var queue=Promise.resolve();
// Keys go out one after another, in the order pressed.
function post(path,body){
  queue=queue.then(function(){
    return fetch(path,{method:'POST',headers:{'Content-Type':'application/x-www-form-urlencoded',
      'Accept':'application/json'},body:body}).then(function(r){
        if(!r.ok)note(path==='/play'?'Could not play that ('+r.status+')':'Key not taken ('+r.status+')');
      },function(){note('The jukebox cannot be reached');});
  });
}
function key(word){post('/key','key='+encodeURIComponent(word));}
var noteTimer;
function note(text){var n=$('note');n.textContent=text;n.hidden=false;clearTimeout(noteTimer);
  noteTimer=setTimeout(function(){n.hidden=true;},4000);}

// The number entry, as the keyboard does it: the panel says NUMINPUT while digits come.
var number='',restore=0,numTimer;
function showNumber(){$('numshow').textContent=number||'\u2013';}
function digit(d){
  if(number===''){restore=state.mode===1?0:state.mode;key('display_setmode 1');}
  if(number.length<4)number+=d;
  clearTimeout(numTimer);numTimer=setTimeout(dropNumber,20000);
  showNumber();
}
function dropNumber(){
  if(number==='')return;
  number='';clearTimeout(numTimer);key('display_setmode '+restore);showNumber();
}
function enterNumber(word){
  if(number==='')return;
  key(word+' '+number);dropNumber();
}
function press(word){
  if(word==='player_gotosong'||word==='player_gotolist'){enterNumber(word);return;}
  dropNumber();
  key(word);
}

document.addEventListener('click',function(e){
  var b=e.target.closest('button');
  if(!b)return;
  if(b.dataset.digit!==undefined){e.preventDefault();digit(b.dataset.digit);return;}
  if(b.id==='numdrop'){e.preventDefault();dropNumber();return;}
  if(b.name==='key'){e.preventDefault();press(b.value);return;}
  if(b.dataset.address){e.preventDefault();dropNumber();
    post('/play','address='+encodeURIComponent(b.dataset.address));
    note('Playing: '+b.dataset.title);}
});

// The sliders: as many steps as the slider moved.
var dragging={};
document.querySelectorAll('input[type=range]').forEach(function(r){
  r.hidden=false;
  var name=r.dataset.name;
  r.addEventListener('input',function(){dragging[name]=true;});
  r.addEventListener('change',function(){
    dragging[name]=false;
    var steps=Math.round((Number(r.value)-state[name])/STEP);
    var word=steps>0?r.dataset.up:r.dataset.down;
    dropNumber();
    for(var i=0;i<Math.abs(steps);i++)key(word);
  });
});
$('numform').hidden=true;$('numpad').hidden=false;showNumber();

// The keyboard of a desktop, as velm_keys takes it.
var KEYS={' ':'player_pause',n:'player_nextsong',p:'player_prevsong',N:'player_nextlist',
  P:'player_prevlist',d:'player_changedev',r:'player_changernd',s:'player_stop',
  i:'player_sayinfo','+':'mixer_volumeup','-':'mixer_volumedown','<':'mixer_balanceleft',
  '>':'mixer_balanceright',b:'mixer_bassdown',B:'mixer_bassup',t:'mixer_trebledown',
  T:'mixer_trebleup',',':'player_jumpbw','.':'player_jumpfw'};
document.addEventListener('keydown',function(e){
  if(e.ctrlKey||e.metaKey||e.altKey||/^(INPUT|TEXTAREA|SELECT|BUTTON)$/.test(e.target.tagName))return;
  var k=e.key;
  if(/^[0-9]$/.test(k))digit(k);
  else if(number!==''&&k==='Enter')enterNumber('player_gotosong');
  else if(number!==''&&k==='l')enterNumber('player_gotolist');
  else if(k==='m')press('display_setmode '+(state.mode===0?2:0));
  else if(KEYS[k])press(KEYS[k]);
  else return;
  e.preventDefault();
});

function mmss(s){return Math.floor(s/60)+':'+('0'+s%60).slice(-2);}
function setText(id,text){var n=$(id);if(n.textContent!==text)n.textContent=text;}
function apply(s){
  state=s;
  setText('row0',s.rows[0]);setText('row1',s.rows[1]);
  setText('title',s.title);
  $('away').hidden=s.display;
  setText('status',s.status);setText('order',s.order);
  setText('device',String(s.device));setText('list',String(s.list));setText('song',String(s.song));
  setText('device_name',s.device_name);setText('list_name',s.list_name);setText('song_name',s.song_name);
  var known=s.seconds_left>=0;
  setText('time',known?mmss(s.seconds_left)+' left'+(s.seconds_total>0?' of '+mmss(s.seconds_total):''):s.time);
  var bar=$('bar');bar.hidden=!(known&&s.seconds_total>0);
  if(!bar.hidden){var left=Math.min(s.seconds_left,s.seconds_total);
    bar.firstChild.style.width=Math.floor(100*(s.seconds_total-left)/s.seconds_total)+'%';}
  ['volume','balance','bass','treble'].forEach(function(n){
    setText('v_'+n,String(s[n]));
    var r=$('r_'+n);if(!dragging[n])r.value=s[n];
  });
  $('modekey').value='display_setmode '+(s.mode===0?2:0);
}

// The live state. EventSource comes back by itself after a dropped stream; after an
// answer that is not a stream (the server restarting) it gives up, so a new one is made.
var source,wait=1000;
function link(up){var l=$('link');l.textContent=up?'live':'offline';l.className=up?'up':'down';}
function connect(){
  source=new EventSource('/events');
  source.addEventListener('state',function(e){
    link(true);try{apply(JSON.parse(e.data));}catch(x){}
  });
  source.onopen=function(){link(true);wait=1000;};
  source.onerror=function(){
    link(false);
    if(source.readyState===EventSource.CLOSED){
      source.close();setTimeout(connect,wait);wait=Math.min(wait*2,10000);
    }
  };
}
link(false);connect();

// The search as one types: debounced, and an older answer never replaces a newer one.
var sent=0,shown=0,searchTimer,query='',from=0;
var form=$('searchform'),field=$('q'),hits=$('hits'),more=$('more');
function hitItem(h){
  var li=document.createElement('li'),b=document.createElement('button');
  b.type='button';b.dataset.address=h.device+' '+h.list+' '+h.song;b.dataset.title=h.title;
  b.textContent=(h.kind==='list'?'\u25B6 Album: ':'')+h.title;
  var small=document.createElement('small');
  small.textContent=h.kind==='list'?'Group '+h.device+', album '+h.list:h.list_title+' \u00B7 '+h.device+'/'+h.list+'/'+h.song;
  b.appendChild(small);li.appendChild(b);return li;
}
function search(append){
  var q=field.value.trim(),n=++sent;
  if(!append){query=q;from=0;}
  if(q===''){hits.textContent='';setText('count','');more.hidden=true;shown=n;return;}
  fetch('/search.json?q='+encodeURIComponent(query)+'&from='+from,{headers:{'Accept':'application/json'}})
    .then(function(r){return r.json();}).then(function(a){
      if(n<shown)return;
      shown=n;
      if(!append)hits.textContent='';
      a.hits.forEach(function(h){hits.appendChild(hitItem(h));});
      from=a.from+a.hits.length;
      setText('count',a.total===0?'Nothing found':a.total+(a.total===1?' match':' matches'));
      more.hidden=from>=a.total;
    },function(){if(n>=shown)setText('count','Search failed');});
}
field.addEventListener('input',function(){clearTimeout(searchTimer);searchTimer=setTimeout(function(){search(false);},250);});
form.addEventListener('submit',function(e){e.preventDefault();clearTimeout(searchTimer);search(false);});
more.addEventListener('click',function(e){e.preventDefault();search(true);});
window.addEventListener('pagehide',dropNumber);
})();
)JS";

struct Tune {
  const char *name;  // the state's field
  const char *label; // what the page calls it
  const char *down;
  const char *up;
  const char *down_sign;
  const char *up_sign;
  int min;
  int max;
};

const Tune TUNES[] = {
    {"volume", "Volume", "mixer_volumedown", "mixer_volumeup", "\xE2\x88\x92", "+", 0, 100},
    {"balance", "Balance", "mixer_balanceleft", "mixer_balanceright", "L", "R", -100, 100},
    {"bass", "Bass", "mixer_bassdown", "mixer_bassup", "\xE2\x88\x92", "+", 0, 100},
    {"treble", "Treble", "mixer_trebledown", "mixer_trebleup", "\xE2\x88\x92", "+", 0, 100},
};

int tune_value(const PanelFeed &p, const std::string &name) {
  if (name == "volume")
    return p.volume;
  if (name == "balance")
    return p.balance;
  if (name == "bass")
    return p.bass;
  return p.treble;
}

struct KeyButton {
  const char *word;
  const char *label;
  bool main;
};

const KeyButton PLAY_KEYS[] = {
    {"player_prevlist", "\xE2\x97\x80\xE2\x97\x80 Album", false},
    {"player_prevsong", "\xE2\x97\x80 Song", false},
    {"player_nextsong", "Song \xE2\x96\xB6", false},
    {"player_nextlist", "Album \xE2\x96\xB6\xE2\x96\xB6", false},
    {"player_pause", "Play / Pause", true},
    {"player_stop", "\xE2\x96\xA0 Stop", false},
    {"player_jumpbw", "\xE2\x86\xB6 Back", false},
    {"player_jumpfw", "Ahead \xE2\x86\xB7", false},
    {"player_changedev", "Group", false},
    {"player_changernd", "Order", false},
    {"player_sayinfo", "Say title", false},
};

void put_key(std::string &out, const char *word, const char *label, const char *cls = nullptr) {
  out += "<button name=key value=\"";
  out += html_escape(word);
  out += '"';
  if (cls != nullptr) {
    out += " class=";
    out += cls;
  }
  out += '>';
  out += label;
  out += "</button>";
}

void put_now_playing(std::string &out, const RemoteState &s) {
  out += "<section class=\"card wide\" aria-label=\"Now playing\">";
  out += "<div class=lcd role=img aria-label=\"The panel\"><div id=row0>";
  out += html_escape(panel_row_text(s.panel.rows[0], s.rom));
  out += "</div><div id=row1>";
  out += html_escape(panel_row_text(s.panel.rows[1], s.rom));
  out += "</div></div>";
  out += "<p id=away class=away";
  out += s.display_seen ? " hidden" : "";
  out += ">The jukebox's display is not running.</p>";
  out += "<div id=title>" + html_escape(latin1_to_utf8(s.panel.title)) + "</div>";
  out += "<div class=where>";
  out += "<b>Group <span id=device>" + std::to_string(s.panel.device) + "</span></b>";
  out += "<span id=device_name>" + html_escape(s.device_name) + "</span>";
  out += "<b>Album <span id=list>" + std::to_string(s.panel.list) + "</span></b>";
  out += "<span id=list_name>" + html_escape(s.list_name) + "</span>";
  out += "<b>Song <span id=song>" + std::to_string(s.panel.song) + "</span></b>";
  out += "<span id=song_name>" + html_escape(s.song_name) + "</span>";
  out += "</div><div class=play><span class=badge id=status>";
  out += html_escape(latin1_to_utf8(s.panel.status));
  out += "</span><span class=badge id=order title=\"Order\">";
  out += html_escape(latin1_to_utf8(s.panel.order));
  out += "</span>";
  int percent = progress_percent(s);
  out += "<div class=bar id=bar";
  out += percent < 0 ? " hidden" : "";
  out += "><i style=\"width:" + std::to_string(percent < 0 ? 0 : percent) + "%\"></i></div>";
  out += "<span id=time>" + html_escape(time_text(s)) + "</span></div>";
  out += "<div class=mix>";
  for (const Tune &t : TUNES) {
    out += "<div><small>";
    out += t.label;
    out += "</small><b id=v_";
    out += t.name;
    out += '>' + std::to_string(tune_value(s.panel, t.name)) + "</b></div>";
  }
  out += "</div></section>";
}

void put_keys(std::string &out, const RemoteState &s) {
  out += "<section class=card aria-label=Keys><h2>Keys</h2>";
  out += "<form method=post action=\"/key\"><div class=keys>";
  for (const KeyButton &k : PLAY_KEYS)
    put_key(out, k.word, k.label, k.main ? "main" : nullptr);
  out += "<button name=key value=\"display_setmode " +
         std::to_string(next_display_mode(s.panel.mode)) + "\" id=modekey>Display</button>";
  out += "</div>";
  for (const Tune &t : TUNES) {
    out += "<div class=tune><span>";
    out += t.label;
    out += "</span>";
    put_key(out, t.down, t.down_sign);
    out += "<input type=range hidden min=" + std::to_string(t.min) +
           " max=" + std::to_string(t.max) + " step=" + std::to_string(MIXER_STEP);
    out += " id=r_";
    out += t.name;
    out += " data-name=";
    out += t.name;
    out += " data-up=";
    out += t.up;
    out += " data-down=";
    out += t.down;
    out += " value=" + std::to_string(tune_value(s.panel, t.name));
    out += " aria-label=\"";
    out += t.label;
    out += "\">";
    put_key(out, t.up, t.up_sign);
    out += "</div>";
  }
  out += "</form>";
  // Without the script a number goes with the key word as its own field.
  out += "<h2>Number</h2><form method=post action=\"/key\" class=num id=numform>"
         "<input name=number inputmode=numeric pattern=\"[0-9]{1,4}\" maxlength=4 "
         "aria-label=Number placeholder=\"1234\">";
  put_key(out, "player_gotosong", "Song");
  put_key(out, "player_gotolist", "Album");
  out += "</form><div id=numpad hidden><div class=num><span id=numshow></span>";
  put_key(out, "player_gotosong", "Song");
  put_key(out, "player_gotolist", "Album");
  out += "<button id=numdrop aria-label=\"Drop the number\">\xE2\x9C\x95</button></div>"
         "<div class=pad>";
  for (char d = '1'; d <= '9'; ++d) {
    out += "<button data-digit=";
    out += d;
    out += '>';
    out += d;
    out += "</button>";
  }
  out += "<button data-digit=0>0</button></div></div></section>";
}

void put_search(std::string &out, const std::string &query, const std::vector<SearchEntry> &hits,
                size_t total, size_t from) {
  out += "<section class=card aria-label=Search><h2>Search</h2>";
  out += "<form method=get action=\"/search\" class=search id=searchform>"
         "<input type=search name=q id=q autocomplete=off placeholder=\"Title, album ...\" "
         "aria-label=Search value=\"" +
         html_escape(query) + "\"><button>Search</button></form>";
  out += "<p class=hint id=count>";
  if (!query.empty()) {
    if (total == 0) {
      out += "Nothing found";
    } else {
      out += std::to_string(total) + (total == 1 ? " match" : " matches");
      if (total > hits.size())
        out += ", " + std::to_string(from + 1) + " to " + std::to_string(from + hits.size());
    }
  }
  out += "</p><ol id=hits>";
  for (const SearchEntry &e : hits) {
    std::string address = address_text(e);
    out += "<li><form method=post action=\"/play\"><input type=hidden name=address value=\"" +
           address + "\"><button>";
    if (e.song == 0)
      out += "\xE2\x96\xB6 Album: ";
    out += html_escape(e.title) + "<small>";
    if (e.song == 0)
      out += "Group " + std::to_string(e.device) + ", album " + std::to_string(e.list);
    else
      out += html_escape(e.list_title) + " \xC2\xB7 " + std::to_string(e.device) + "/" +
             std::to_string(e.list) + "/" + std::to_string(e.song);
    out += "</small></button></form></li>";
  }
  out += "</ol><p>";
  std::string base = "/search?q=" + url_encode(query) + "&amp;from=";
  if (!query.empty() && from > 0) {
    size_t back = from > 50 ? from - 50 : 0;
    out += "<a href=\"" + base + std::to_string(back) + "\">Earlier</a> ";
  }
  bool later = !query.empty() && from + hits.size() < total;
  out += "<a id=more href=\"" + base + std::to_string(from + hits.size()) + "\"";
  out += later ? "" : " hidden";
  out += ">More</a></p></section>";
}

} // namespace

std::string html_escape(const std::string &text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    case '\'':
      out += "&#39;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

std::string json_quote(const std::string &text) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    std::uint32_t code = 0;
    size_t length = utf8_sequence(text, i, &code);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    if (code == '"' || code == '\\') {
      out += '\\';
      out += static_cast<char>(code);
    } else if (code == '\n') {
      out += "\\n";
    } else if (code == '\t') {
      out += "\\t";
    } else if (code < 0x20 || code == 0x7F || code == '<' || code == 0x2028 || code == 0x2029) {
      // "<" too, and the line separators, so that the text is safe inside a script element.
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4)
        out += hex[(code >> shift) & 0x0F];
    } else {
      out.append(text, i, length);
    }
    i += length;
  }
  out += '"';
  return out;
}

std::string panel_row_text(const std::string &row, LcdRom rom) {
  std::string out;
  for (char c : row)
    out += lcd_rom_glyph(rom, lcd_rom_code(rom, static_cast<unsigned char>(c)));
  return out;
}

std::string render_state_json(const RemoteState &s) {
  const PanelFeed &p = s.panel;
  std::string out = "{\"rows\":[" + json_quote(panel_row_text(p.rows[0], s.rom)) + "," +
                    json_quote(panel_row_text(p.rows[1], s.rom)) + "]";
  out += ",\"display\":";
  out += s.display_seen ? "true" : "false";
  out += ",\"title\":" + json_quote(latin1_to_utf8(p.title));
  out += ",\"status\":" + json_quote(latin1_to_utf8(p.status));
  out += ",\"device\":" + std::to_string(p.device);
  out += ",\"list\":" + std::to_string(p.list);
  out += ",\"song\":" + std::to_string(p.song);
  out += ",\"device_name\":" + json_quote(s.device_name);
  out += ",\"list_name\":" + json_quote(s.list_name);
  out += ",\"song_name\":" + json_quote(s.song_name);
  out += ",\"time\":" + json_quote(latin1_to_utf8(p.time));
  out += ",\"seconds_left\":" + std::to_string(s.seconds_left < 0 ? -1 : s.seconds_left);
  out += ",\"seconds_total\":" + std::to_string(s.seconds_total < 0 ? -1 : s.seconds_total);
  out += ",\"order\":" + json_quote(latin1_to_utf8(p.order));
  out += ",\"mode\":" + std::to_string(p.mode);
  out += ",\"volume\":" + std::to_string(p.volume);
  out += ",\"balance\":" + std::to_string(p.balance);
  out += ",\"bass\":" + std::to_string(p.bass);
  out += ",\"treble\":" + std::to_string(p.treble);
  out += "}";
  return out;
}

std::string render_remote_page(const RemoteState &state, const std::string &query,
                               const std::vector<SearchEntry> &hits, size_t total, size_t from,
                               const std::string &notice) {
  std::string out = "<!DOCTYPE html>\n<html lang=en><head><meta charset=utf-8>"
                    "<meta name=viewport content=\"width=device-width,initial-scale=1\">"
                    "<title>Velm Jukebox</title><style>";
  out += STYLE;
  out += "</style></head><body><main><header><h1>Velm Jukebox</h1>"
         "<span id=link>no script</span><a href=\"/catalog\">Catalogue</a></header>";
  out += "<p class=notice id=note";
  out += notice.empty() ? " hidden>" : ">";
  out += html_escape(notice) + "</p><div class=grid>";
  put_now_playing(out, state);
  put_keys(out, state);
  put_search(out, query, hits, total, from);
  out += "</div></main><script type=\"application/json\" id=init>";
  // json_quote writes "<" as an escape, so the state cannot end this element early.
  out += render_state_json(state);
  out += "</script><script>";
  out += SCRIPT;
  out += "</script></body></html>\n";
  return out;
}

std::string render_search_json(const std::vector<SearchEntry> &hits, size_t total, size_t from) {
  std::string out =
      "{\"total\":" + std::to_string(total) + ",\"from\":" + std::to_string(from) + ",\"hits\":[";
  for (size_t i = 0; i < hits.size(); ++i) {
    const SearchEntry &e = hits[i];
    if (i > 0)
      out += ',';
    out += "{\"kind\":";
    out += e.song == 0 ? "\"list\"" : "\"song\"";
    out += ",\"device\":" + std::to_string(e.device) + ",\"list\":" + std::to_string(e.list) +
           ",\"song\":" + std::to_string(e.song) + ",\"title\":" + json_quote(e.title) +
           ",\"list_title\":" + json_quote(e.list_title) + "}";
  }
  out += "]}";
  return out;
}

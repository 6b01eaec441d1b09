// A preview as the device will draw it, from the configuration and the
// capture's screen, by the rules of docs/PREVIEWS.md: the same cuts of the
// title and text, the same fonts and line heights, the same placement. The
// rectangles come out in window points; the canvas shows them over the
// screenshot.
'use strict';

const ZRLPreview = (() => {
  const TITLE_FONT = 'bold 17px "DejaVu Sans"';
  const TEXT_FONT = '15px "DejaVu Sans"';
  const TITLE_LINE = 22;
  const TEXT_LINE = 20;
  const MOST_TITLE_LINES = 2;
  const MOST_TEXT_LINES = 6;
  const PADDING = 12;
  const GAP = 12;          // between the card and its anchor
  const MARGIN = 16;       // the least distance from the window's sides
  const SPOTLIGHT = 8;
  const MOST_BYTES = 4096;
  const ELLIPSIS = '\u2026';

  // A string of the configuration as the device shows it: cut at a
  // character boundary at or before 4,096 bytes of UTF-8, lone surrogates
  // (the page's own ill-formed text) as U+FFFD. Anything but a string is
  // absent.
  function cleaned(value) {
    if (typeof value !== 'string') return null;
    const bytes = new TextEncoder().encode(value);
    let end = bytes.length;
    if (end > MOST_BYTES) {
      end = MOST_BYTES;
      while (end > 0 && (bytes[end] & 0xc0) === 0x80) end -= 1;
    }
    return new TextDecoder().decode(bytes.subarray(0, end));
  }

  // ---- Lines, laid out as Pango lays them out on the device

  // Spaces after which a line may break (the no-break ones glue).
  const BREAKING_SPACE = /^[ \t\u1680\u2000-\u2006\u2008-\u200A\u205F\u3000]$/u;
  // No line breaks before closing and joining marks, not even after a
  // space...
  const CLOSING = new Set(Array.from(')]},.:;!?/\u200B'));
  // ...nor, but after a space, before hyphens, quotes, no-break spaces...
  const NO_BREAK_BEFORE = new Set(Array.from(
    '-\u2010\u2013\u2026"\'\u2019\u201D\u00BB\u203A\u00A0\u2007\u202F'));
  // ...nor after these (opening brackets and quotes, no-break spaces).
  const NO_BREAK_AFTER = new Set(Array.from(
    '([{"\'\u2018\u201C\u00AB\u2039\u00A0\u2007\u202F'));
  // A line may break after a hyphen, a slash and a few other marks.
  const BREAK_AFTER = new Set(Array.from('-\u2010\u2013/?!\u2026|}\u200B'));
  const EM_DASH = '\u2014';
  // What a number is made of around a slash ("1/2" stays whole).
  const NUMBER_PUNCTUATION = new Set(Array.from('/.,:;'));
  const isDigit = (c) => c >= '0' && c <= '9';
  const LETTER = /^\p{L}/u;
  const NO_HYPHEN_SCRIPT = /^[\p{sc=Han}\p{sc=Hangul}\p{sc=Hiragana}\p{sc=Katakana}]/u;
  const WORD_PART = /^[\p{L}\p{N}\p{M}_]/u;

  const graphemeSegmenter = typeof Intl === 'object' && Intl.Segmenter
    ? new Intl.Segmenter(undefined, { granularity: 'grapheme' }) : null;
  const graphemes = (text) => (graphemeSegmenter
    ? Array.from(graphemeSegmenter.segment(text), (part) => part.segment) : Array.from(text));
  const base = (grapheme) => String.fromCodePoint(grapheme.codePointAt(0));

  // Whether a line may break before parts[i] (ordinary Latin text, by the
  // line-breaking rules that Pango follows).
  function mayBreakBefore(parts, i) {
    const previous = base(parts[i - 1]);
    const next = base(parts[i]);
    if (BREAKING_SPACE.test(next) || CLOSING.has(next)) return false;
    if (BREAKING_SPACE.test(previous)) return true;
    if (NO_BREAK_AFTER.has(previous) || NO_BREAK_BEFORE.has(next)) return false;
    if (previous === EM_DASH || next === EM_DASH) return previous !== next;
    if (!BREAK_AFTER.has(previous)) return false;
    if (isDigit(next)) {
      if (previous === '-') return false;  // "2023-01-05", "x-5"
      if (previous === '/') {
        let j = i - 2;
        while (j >= 0 && NUMBER_PUNCTUATION.has(base(parts[j]))) j -= 1;
        return !(j >= 0 && isDigit(base(parts[j])));
      }
    }
    return true;
  }

  // Whether a word broken between parts[i - 1] and parts[i] gains a
  // hyphen: between a letter and a letter, digit, mark or "_".
  function hyphenBefore(parts, i) {
    const previous = base(parts[i - 1]);
    return LETTER.test(previous) && !NO_HYPHEN_SCRIPT.test(previous) &&
        WORD_PART.test(base(parts[i]));
  }

  // The lines of a block: a line feed (LF, CR or CR LF, or a line or
  // paragraph separator) starts a new line (one at the very end starts
  // none); each line is wrapped to `width` at
  // the last break opportunity that fits (a trailing space does not count,
  // except before a line feed), a word longer than a line is broken
  // between characters, with a hyphen inside a word. At most `most` lines:
  // when some are cut, the last kept line holds the rest of its line feed's
  // line (with an ellipsis when lines after it were cut), cut to the
  // width with an ellipsis when it does not fit. No wrapping when the width
  // is not positive.
  function wrap(context, font, text, width, most) {
    if (!text) return [];
    context.font = font;
    const measure = (parts) => context.measureText(parts.join('')).width;
    const hyphen = context.measureText('-').width;
    const hardLines = text.split(/\r\n|[\r\n\u2028\u2029]/);
    if (hardLines.length > 1 && hardLines[hardLines.length - 1] === '') hardLines.pop();
    const lines = [];  // {hardLine, parts, start, end, withHyphen}
    for (let h = 0; h < hardLines.length && lines.length <= most; h += 1) {
      const parts = graphemes(hardLines[h]);
      const beforeLineFeed = h < hardLines.length - 1;
      // The width of a line that breaks before parts[end].
      const widthTo = (start, end) => {
        const keepsSpace = end === parts.length && beforeLineFeed;
        const trim = !keepsSpace && end > start && BREAKING_SPACE.test(base(parts[end - 1]));
        return measure(parts.slice(start, trim ? end - 1 : end));
      };
      let start = 0;
      do {
        let end = parts.length;
        let withHyphen = false;
        if (width > 0 && widthTo(start, parts.length) > width) {
          end = -1;
          for (let i = start + 1; i < parts.length; i += 1) {
            if (!mayBreakBefore(parts, i)) continue;
            if (widthTo(start, i) > width) break;
            end = i;
          }
          if (end < 0) {
            // The first word does not fit: as many characters as do (at
            // least one), a hyphen included.
            for (let i = start + 1; i < parts.length; i += 1) {
              const needs = hyphenBefore(parts, i);
              if (i > start + 1 && widthTo(start, i) + (needs ? hyphen : 0) > width) break;
              end = i;
              withHyphen = needs;
            }
          }
        }
        lines.push({ hardLine: h, parts, start, end, withHyphen });
        start = end;
      } while (start < parts.length && lines.length <= most);
    }
    const shown = (line) => line.parts.slice(line.start, line.end).join('') +
        (line.withHyphen ? '-' : '');
    if (lines.length <= most) return lines.map(shown);
    const kept = lines.slice(0, most).map(shown);
    if (width <= 0) return kept;
    const last = lines[most - 1];
    const rest = last.parts.slice(last.start);
    const more = last.hardLine < hardLines.length - 1;
    if (more && measure(rest.concat(ELLIPSIS)) <= width) {
      kept[most - 1] = rest.join('') + ELLIPSIS;
      return kept;
    }
    // Pango's ellipsis takes whole glyphs, never a part of a ligature ("fi",
    // "ffl").
    const inLigature = (i) => base(rest[i - 1]) === 'f' && 'fil'.includes(base(rest[i]));
    let end = 0;
    for (let next = 1; next <= rest.length; next += 1) {
      if (next < rest.length && inLigature(next)) continue;
      if (measure(rest.slice(0, next).concat(ELLIPSIS)) > width) break;
      end = next;
    }
    kept[most - 1] = rest.slice(0, end).join('') + ELLIPSIS;
    return kept;
  }

  const rect = (top, left, bottom, right) => ({ top, left, bottom, right });

  // Edges truncated toward zero, as the layout's "bounds" and the device's
  // dump write them.
  const whole = (r) => r && rect(Math.trunc(r.top), Math.trunc(r.left), Math.trunc(r.bottom),
                                 Math.trunc(r.right));

  // The preview of `config` on `screen` ({width, height, insets: {top,
  // left, bottom, right}, nodes: [{id, bounds}]}): what the device's dump
  // reports under "preview", plus what drawing needs. Null when the
  // configuration is not an object (the device draws nothing then).
  function compose(config, screen, context) {
    if (!config || typeof config !== 'object' || Array.isArray(config)) return null;
    const ui = config.ui && typeof config.ui === 'object' && !Array.isArray(config.ui)
      ? config.ui : {};
    const displayType = cleaned(ui.display_type);
    const viewId = cleaned(ui.view_id);
    const title = cleaned(ui.title);
    const text = cleaned(ui.text);
    const W = screen.width;
    const H = screen.height;
    const { top: T, left: L, bottom: B, right: R } = screen.insets;

    const block = (width) => {
      const inner = width - 2 * PADDING;
      const titleLines = wrap(context, TITLE_FONT, title, inner, MOST_TITLE_LINES);
      const textLines = wrap(context, TEXT_FONT, text, inner, MOST_TEXT_LINES);
      const content = titleLines.length * TITLE_LINE + textLines.length * TEXT_LINE +
          (titleLines.length && textLines.length ? 6 : 0);
      return { width, height: content + 2 * PADDING, titleLines, textLines };
    };
    const clampLeft = (left, width) =>
      Math.max(Math.max(MARGIN, L), Math.min(left, W - Math.max(MARGIN, R) - width));
    const clampTop = (top, height) => Math.max(T, Math.min(top, H - B - height));
    const centred = (width, height) => {
      const left = clampLeft((W - width) / 2, width);
      const top = clampTop((H - height) / 2, height);
      return rect(top, left, top + height, left + width);
    };

    const kind = displayType === 'coach_mark' ? 'coach_mark'
      : displayType === 'inline' ? 'inline'
        : displayType === 'passive_nudge' ? 'passive_nudge' : 'in_app';
    const result = {
      display_type: displayType, view_id: viewId, title, text,
      target: null, spotlight: null, card: null,
      dimmed: kind === 'coach_mark' || kind === 'in_app',
      arrow: null, close: null, titleLines: [], textLines: [],
    };

    if (kind === 'passive_nudge') {
      const banner = block(Math.max(0, W - 2 * MARGIN));
      const top = T + 8;
      result.card = rect(top, MARGIN, top + banner.height, MARGIN + banner.width);
      result.titleLines = banner.titleLines;
      result.textLines = banner.textLines;
      return result;
    }
    const card = block(Math.max(0, Math.min(320, W - 2 * MARGIN)));
    result.titleLines = card.titleLines;
    result.textLines = card.textLines;
    if (kind === 'in_app') {
      result.card = centred(card.width, card.height + 48);
      const middle = (result.card.left + result.card.right) / 2;
      const bottom = result.card.bottom - 12;
      result.close = rect(bottom - 36, middle - 50, bottom, middle + 50);
      return result;
    }

    // The first view in the layout's order with the identifier (no view has
    // an empty one).
    const node = viewId ? screen.nodes.find((n) => n.id === viewId) : null;
    if (!node) {
      result.card = centred(card.width, card.height);
      return result;
    }
    const target = { ...node.bounds };
    result.target = target;
    let anchor = target;
    if (kind === 'coach_mark') {
      // Each edge clamped into the window: a target wholly outside it
      // leaves an empty spotlight on its edge.
      const x = (value) => Math.min(W, Math.max(0, value));
      const y = (value) => Math.min(H, Math.max(0, value));
      anchor = rect(y(target.top - SPOTLIGHT), x(target.left - SPOTLIGHT),
                    y(target.bottom + SPOTLIGHT), x(target.right + SPOTLIGHT));
      result.spotlight = anchor;
    }
    const centre = (target.left + target.right) / 2;
    const left = clampLeft(centre - card.width / 2, card.width);
    // Below the anchor, else above it, where the card lies wholly in the
    // safe area; else clamped into it from below the anchor.
    const inSafeArea = (top) => top >= T && top + card.height <= H - B;
    const below = anchor.bottom + GAP;
    const above = anchor.top - GAP - card.height;
    let top = below;
    let side = 'below';
    if (!inSafeArea(below)) {
      top = above;
      side = 'above';
      if (!inSafeArea(above)) {
        top = clampTop(below, card.height);
        side = null;
      }
    }
    result.card = rect(top, left, top + card.height, left + card.width);
    if (kind === 'inline' && side) {
      const x = Math.max(left + MARGIN, Math.min(centre, left + card.width - MARGIN));
      result.arrow = side === 'below'
        ? { tip: [x, target.bottom], base: [[x - 8, result.card.top], [x + 8, result.card.top]] }
        : { tip: [x, target.top], base: [[x - 8, result.card.bottom], [x + 8, result.card.bottom]] };
    }
    return result;
  }

  // What the device's dump says of this preview.
  function dumped(preview) {
    return {
      display_type: preview.display_type,
      view_id: preview.view_id,
      title: preview.title,
      text: preview.text,
      target: whole(preview.target),
      spotlight: whole(preview.spotlight),
      card: whole(preview.card),
    };
  }

  function roundedRect(context, r, radius) {
    context.beginPath();
    context.roundRect(r.left, r.top, r.right - r.left, r.bottom - r.top, radius);
  }

  // Draws the preview on a context whose units are window points.
  function draw(context, preview, width, height) {
    if (preview.dimmed) {
      context.save();
      context.beginPath();
      context.rect(0, 0, width, height);
      const s = preview.spotlight;
      if (s) context.rect(s.left, s.top, s.right - s.left, s.bottom - s.top);
      context.fillStyle = 'rgba(0, 0, 0, 0.6)';
      context.fill('evenodd');
      context.restore();
    }
    const card = preview.card;
    context.fillStyle = '#ffffff';
    context.strokeStyle = '#D0D5DD';
    context.lineWidth = 1;
    if (preview.arrow) {
      const { tip, base } = preview.arrow;
      context.beginPath();
      context.moveTo(base[0][0], base[0][1]);
      context.lineTo(tip[0], tip[1]);
      context.lineTo(base[1][0], base[1][1]);
      context.closePath();
      context.fill();
    }
    roundedRect(context, card, 12);
    context.fill();
    context.stroke();
    context.textBaseline = 'middle';
    const x = card.left + PADDING;
    let y = card.top + PADDING;
    context.fillStyle = '#111111';
    context.font = TITLE_FONT;
    for (const line of preview.titleLines) {
      context.fillText(line, x, y + TITLE_LINE / 2);
      y += TITLE_LINE;
    }
    if (preview.titleLines.length && preview.textLines.length) y += 6;
    context.fillStyle = '#333333';
    context.font = TEXT_FONT;
    for (const line of preview.textLines) {
      context.fillText(line, x, y + TEXT_LINE / 2);
      y += TEXT_LINE;
    }
    if (preview.close) {
      const button = preview.close;
      context.fillStyle = '#2563EB';
      roundedRect(context, button, 8);
      context.fill();
      context.fillStyle = '#ffffff';
      context.font = TEXT_FONT;
      context.textAlign = 'center';
      context.fillText('Close', (button.left + button.right) / 2, (button.top + button.bottom) / 2);
      context.textAlign = 'start';
    }
  }

  return { compose, dumped, draw, cleaned, wrap };
})();

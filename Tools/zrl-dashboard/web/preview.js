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

  // The lines of a block wrapped to `width` at spaces, a word longer than a
  // line broken between characters, at most `most` lines, the last kept
  // one ending in an ellipsis when some was cut.
  function wrap(context, font, text, width, most) {
    if (!text) return [];
    context.font = font;
    const fits = (line) => context.measureText(line).width <= width;
    const lines = [];
    for (const paragraph of text.split('\n')) {
      let line = '';
      for (const word of paragraph.split(' ')) {
        const longer = line ? `${line} ${word}` : word;
        if (fits(longer)) {
          line = longer;
          continue;
        }
        if (line) lines.push(line);
        line = '';
        if (fits(word)) {
          line = word;
          continue;
        }
        for (const character of word) {
          if (line && !fits(line + character)) {
            lines.push(line);
            line = '';
          }
          line += character;
        }
      }
      lines.push(line);
    }
    if (lines.length <= most) return lines;
    const kept = lines.slice(0, most);
    let last = Array.from(kept[most - 1]);
    while (last.length && !fits(last.join('') + ELLIPSIS)) last.pop();
    kept[most - 1] = last.join('').trimEnd() + ELLIPSIS;
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
      const banner = block(W - 2 * MARGIN);
      const top = T + 8;
      result.card = rect(top, MARGIN, top + banner.height, MARGIN + banner.width);
      result.titleLines = banner.titleLines;
      result.textLines = banner.textLines;
      return result;
    }
    const card = block(Math.min(320, W - 2 * MARGIN));
    result.titleLines = card.titleLines;
    result.textLines = card.textLines;
    if (kind === 'in_app') {
      result.card = centred(card.width, card.height + 48);
      const middle = (result.card.left + result.card.right) / 2;
      const bottom = result.card.bottom - 12;
      result.close = rect(bottom - 36, middle - 50, bottom, middle + 50);
      return result;
    }

    const node = viewId === null ? null : screen.nodes.find((n) => n.id === viewId);
    if (!node) {
      result.card = centred(card.width, card.height);
      return result;
    }
    const target = { ...node.bounds };
    result.target = target;
    let anchor = target;
    if (kind === 'coach_mark') {
      anchor = rect(Math.max(0, target.top - SPOTLIGHT), Math.max(0, target.left - SPOTLIGHT),
                    Math.min(H, target.bottom + SPOTLIGHT), Math.min(W, target.right + SPOTLIGHT));
      result.spotlight = anchor;
    }
    const centre = (target.left + target.right) / 2;
    const left = clampLeft(centre - card.width / 2, card.width);
    let top = anchor.bottom + GAP;
    let side = 'below';
    if (top + card.height > H - B) {
      top = anchor.top - GAP - card.height;
      side = 'above';
      if (top < T) {
        top = clampTop(anchor.bottom + GAP, card.height);
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

  return { compose, dumped, draw, cleaned };
})();

// A scrolling list that keeps only the visible rows in the document, so a
// job of tens of thousands of items scrolls and grows smoothly. Rows have one
// fixed height; their elements are reused as the view moves.

import { el } from "./dom.js";

export class VirtualList {
  constructor(container, renderRow, rowHeight = 28) {
    this.container = container;
    this.renderRow = renderRow;
    this.rowHeight = rowHeight;
    this.items = [];
    this.pool = [];
    this.follow = true; // keep the newest row in view until the person scrolls up
    this.pending = false;
    this.spacer = el("div", { class: "vlist-spacer" });
    this.rows = el("div", { class: "vlist-rows", role: "list" });
    container.append(this.spacer, this.rows);
    container.addEventListener("scroll", () => {
      const c = this.container;
      this.follow = c.scrollTop + c.clientHeight >= c.scrollHeight - this.rowHeight;
      this.schedule();
    });
    new ResizeObserver(() => this.schedule()).observe(container);
  }

  reset() {
    this.items = [];
    this.follow = true;
    this.container.scrollTop = 0;
    this.schedule();
  }

  // Places an item at its index (items may arrive out of order: a page
  // loaded after a reload and the live events meet in the middle).
  set(index, item) {
    this.items[index] = item;
    this.schedule();
  }

  get length() {
    return this.items.length;
  }

  schedule() {
    if (this.pending) return;
    this.pending = true;
    requestAnimationFrame(() => {
      this.pending = false;
      this.render();
    });
  }

  render() {
    const c = this.container;
    const total = this.items.length;
    this.spacer.style.height = `${total * this.rowHeight}px`;
    if (this.follow) c.scrollTop = c.scrollHeight;
    const first = Math.max(0, Math.floor(c.scrollTop / this.rowHeight) - 5);
    const count = Math.min(total - first, Math.ceil(c.clientHeight / this.rowHeight) + 10);
    while (this.pool.length < count) this.pool.push(this.rows.appendChild(el("div", { class: "vlist-row", role: "listitem" })));
    for (let i = 0; i < this.pool.length; i += 1) {
      const row = this.pool[i];
      if (i >= count) {
        row.hidden = true;
        continue;
      }
      const index = first + i;
      row.hidden = false;
      row.style.transform = `translateY(${index * this.rowHeight}px)`;
      if (row.index !== index || row.item !== this.items[index]) {
        row.index = index;
        row.item = this.items[index];
        this.renderRow(row, row.item, index);
      }
    }
  }
}

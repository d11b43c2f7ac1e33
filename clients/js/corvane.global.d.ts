// The classic script <script src="corvane.global.js"> defines one global.
import type * as client from "./corvane.js";
import type * as quintrel from "./quintrel.js";

declare global {
  const Corvane: typeof client & typeof quintrel;
}

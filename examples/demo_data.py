"""The demo's embedded world: one support agent's memories, directives and team.

Each memory carries, beside what the host stores, the answer that the scripted
model gives when asked for its facts (`_facts`), so that the stand-in model is
deterministic. A few of those answers are malformed on purpose, the way real
models sometimes answer.
"""

AGENT = "support-bot"

DIRECTIVES = [
    "When a customer reports a failed payment, check the card's expiry date first.",
    "Always summarise the customer's issue before proposing a fix.",
    "When an order is late, share the carrier's tracking link.",
]


def _m(i, day, event_type, salience, content, facts=None):
    return {
        "id": f"m{i:02d}",
        "content": content,
        "event_type": event_type,
        "created_at": f"2026-11-{day:02d}T{8 + i % 10:02d}:00:00Z",
        "salience": salience,
        "_facts": facts,
    }


_F = '{{"subject": "{}", "attribute": "{}", "value": "{}", "confidence": {}}}'


def _facts(*triples):
    return '{"facts": [' + ", ".join(_F.format(*t) for t in triples) + "]}"


MEMORIES = [
    _m(1, 2, "conversation", 0.82, "Dovan Reyes asked for a refund of invoice 4471 after being charged twice.",
       _facts(("Dovan Reyes", "invoice", "4471", 0.95), ("invoice 4471", "status", "charged twice", 0.9))),
    _m(2, 2, "decision", 0.74, "Refund for invoice 4471 approved by the billing supervisor.",
       "```json\n" + _facts(("invoice 4471", "refund_status", "approved", 0.92)) + "\n```"),
    _m(3, 3, "conversation", 0.66, "Mara Lind lives in Austin and prefers email over phone calls.",
       "Here are the facts I found:\n" + _facts(("Mara Lind", "location", "Austin", 0.9))),
    _m(4, 3, "observation", 0.35, "The dashboard was slow for a few minutes this morning."),
    _m(5, 4, "conversation", 0.71, "Order 9912 for Mara Lind shipped with carrier Northwind on Tuesday.",
       '{"facts": [{"subject": "order 9912", "attribute": "carrier", "value": "Northw'),
    _m(6, 4, "feedback", 0.88, {"rating": 2, "comment": "Refund took nine days", "channel": "email", "lang": "sv",
                                "quote": "Återbetalningen tog för lång tid"},
       _facts(("refund", "duration", "nine days", 0.8))),
    _m(7, 5, "conversation", 0.59, "A caller could not verify identity and asked to reset the password.",
       _facts(("caller", "request", "password reset", 0.7), ("caller", "identity_verified", "no", 0.6))),
    _m(8, 5, "escalation", 0.77, "Customer asked for a manager after the third failed password reset.",
       _facts(("customer", "failed_password_resets", "3", 0.85))),
    _m(9, 6, "observation", 0.42, "Two-factor codes arrive late for customers on carrier Bluewave.",
       _facts(("two-factor codes", "delay_carrier", "Bluewave", 0.75))),
    _m(10, 6, "conversation", 0.63, "Jon Ek wants to cancel his subscription because of the price increase.",
       _facts(("Jon Ek", "intent", "cancel subscription", 0.9), ("Jon Ek", "reason", "price increase", 0.8))),
    _m(11, 7, "decision", 0.69, "Offered Jon Ek a 20% discount to renew for a year; he accepted.",
       _facts(("Jon Ek", "discount", "20%", 0.95), ("Jon Ek", "renewal_term", "one year", 0.9))),
    _m(12, 7, "observation", 0.28, "Lunch menu changed in the office cafeteria."),
    _m(13, 8, "conversation", 0.81, "Priya Nair was charged for a plan she downgraded last month.",
       _facts(("Priya Nair", "billing_issue", "charged for downgraded plan", 0.88))),
    _m(14, 8, "decision", 0.73, "Credited Priya Nair the price difference and confirmed by email.",
       _facts(("Priya Nair", "credit", "price difference", 0.9), ("Priya Nair", "confirmation_channel", "email", 0.7))),
    _m(15, 9, "conversation", 0.52, "Customer asked where order 10233 is; tracking shows it at the warehouse.",
       _facts(("order 10233", "location", "warehouse", 0.85))),
    _m(16, 9, "observation", 0.47, "Warehouse in Reno reported a two-day backlog.",
       _facts(("Reno warehouse", "backlog", "two days", 0.8), ("Reno warehouse", "mood", "tired", 0.3))),
    _m(17, 10, "feedback", 0.9, {"rating": 1, "comment": "Nobody called me back", "follow_up": None, "tags": ["callback", "delay"]},
       _facts(("customer", "complaint", "no callback", 0.85))),
    _m(18, 10, "conversation", 0.57, "Ola Berg reported a phishing email pretending to be from support.",
       _facts(("Ola Berg", "reported", "phishing email", 0.9))),
    _m(19, 11, "decision", 0.64, "Security team asked agents to never send login links by email.",
       _facts(("agents", "rule", "no login links by email", 0.9))),
    _m(20, 11, "observation", 0.33, "Chat widget colour was updated to match the brand."),
    _m(21, 12, "conversation", 0.68, "Lena Roy's delivery went to the old address after she moved to Oslo.",
       _facts(("Lena Roy", "location", "Oslo", 0.9), ("Lena Roy", "delivery_issue", "sent to old address", 0.85))),
    _m(22, 12, "decision", 0.61, "Re-shipped Lena Roy's order by express at no charge.",
       _facts(("Lena Roy", "reshipment", "express, free", 0.85))),
    _m(23, 13, "conversation", 0.79, "Customer on the annual plan asked whether the renewal price is locked.",
       _facts(("annual plan customer", "question", "renewal price lock", 0.6))),
    _m(24, 13, "observation", 0.45, "Refund requests doubled in the week after the price change.",
       _facts(("refund requests", "change", "doubled", 0.8))),
    _m(25, 14, "conversation", 0.7, "Dovan Reyes thanked the team and said the refund arrived.",
       _facts(("Dovan Reyes", "refund_received", "yes", 0.9))),
    _m(26, 14, "escalation", 0.86, "A customer threatened to churn unless a human agent called within a day.",
       _facts(("customer", "demand", "human agent call within a day", 0.8))),
    _m(27, 15, "observation", 0.38, "Weekly report generated without errors."),
    _m(28, 15, "conversation", 0.58, "Mara Lind confirmed order 9912 arrived damaged.",
       _facts(("order 9912", "condition", "damaged", 0.9))),
    _m(29, 16, "decision", 0.75, "Sent Mara Lind a replacement for order 9912 and a return label.",
       _facts(("Mara Lind", "replacement", "order 9912", 0.85))),
    _m(30, 16, "feedback", 0.84, "Customers praise fast refunds but complain about slow callbacks.",
       _facts(("customers", "praise", "fast refunds", 0.75), ("customers", "complaint", "slow callbacks", 0.75))),
]

# What the agent is about to tell a customer; its claims are checked against the facts.
DRAFT_ANSWER = (
    "Hi Mara! Your order 9912 was shipped with Northwind and has a replacement on the way. "
    "Since you live in Austin, delivery should take two days. Jon Ek got a 20% discount, "
    "and invoice 4471 was refunded in full."
)

DRAFT_CLAIMS = """```json
{"claims": [
  {"subject": "order 9912", "attribute": "carrier", "value": "Northwind"},
  {"subject": "Mara Lind", "attribute": "replacement", "value": "order 9912"},
  {"subject": "Mara Lind", "attribute": "location", "value": "Austin"},
  {"subject": "delivery", "attribute": "duration", "value": "two days"},
  {"subject": "Jon Ek", "attribute": "discount", "value": "20%"},
  {"subject": "invoice 4471", "attribute": "refund_status", "value": "approved"},
  {"subject": "Mara", "attribute": "greeting", "value": "   "}
]}
```"""

INSIGHT_ANSWER = (
    '"Billing mistakes, not product defects, drive most escalations: every double charge or '
    "missed downgrade that is fixed fast turns into praise, while slow callbacks turn the same "
    'customers toward churn. Speed of the first human response matters more than the size of the remedy."'
)

# The evolution answer a model gives: fenced, tagged json, with more rules than asked.
EVOLUTION_PROPOSALS = [
    ("When a customer reports a double charge, issue the refund before asking follow-up questions.", 0),
    ("When a customer reports a double charge, refund it first and ask questions after.", 0),
    ("Always greet returning customers by name and mention their last request.", 0),
    ("Always greet returning customers by name and mention their last request first.", None),
    ("Always summarise the customer's issue before proposing a fix.", 2),
    ("When a caller fails identity verification twice, offer a secure reset link instead of email.", 0),
    ("When a customer asks for a manager, schedule a human callback within one business day.", 1),
    ("When tracking shows a warehouse backlog, warn the customer before they ask.", 1),
]

JOURNAL_ANSWER = (
    "```\n\"Refunds dominated the fortnight: double charges and a missed downgrade reached "
    "customers before our fixes did, yet the fast refunds earned praise. Shipping troubles ran "
    "alongside, from a Reno backlog to a parcel sent to an old address, and each was repaired with "
    "an express re-shipment. The tension is clear: remedies are generous, but callbacks are slow, and "
    "the customers who threatened to leave were the ones left waiting.\"\n```"
)

# Two agents discuss the refund backlog; the critic ends up repeating itself.
THREAD = [
    ("planner", "Refund requests doubled after the price change. I propose a refund macro for double charges."),
    ("critic", "A macro helps, but slow callbacks are the bigger complaint. Who owns callbacks?"),
    ("planner", "Escalations can own callbacks: a human agent calls back within one business day."),
    ("critic", "Then the remaining risk is   the callback queue itself;\nlet us measure the queue daily."),
    ("planner", "Then the remaining risk is the callback queue itself; let us measure the queue daily."),
    ("critic", "Agreed. I will draft the daily queue report."),
]

JUDGE_ANSWERS = [
    "OPEN|The planner's proposal invites a response about ownership.",
    "open | The critic asked who owns callbacks.",
    "OPEN|",
    "CONVERGED|The team agreed to measure the callback queue daily.",
]

TEAM = ["support-bot", "billing-bot", "logistics-bot"]

SHARED_MEMORIES = [
    ("billing-bot", 0.91, "Double charges cluster in the first week after a price change."),
    ("support-bot", 0.86, "Customers forgive mistakes that are refunded within a day."),
    ("logistics-bot", 0.72, "Warehouse backlogs are visible in tracking two days before customers complain."),
    ("support-bot", 0.72, "Callback delays are the main driver of churn threats."),
    ("billing-bot", 0.4, "Discount offers retain about half of the customers who ask to cancel."),
]

TEAM_INSIGHT_ANSWER = (
    "Act before the customer has to ask: refunds within a day, proactive backlog warnings and "
    "quick callbacks keep customers who would otherwise leave."
)

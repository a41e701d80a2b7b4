// Keeps pellinor_tools non-empty until shared tool code lands.
